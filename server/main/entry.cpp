#include "server/main/entry.h"

#include "lib/console.h"
#include "lib/files.h"
#include "lib/shutdown.h"
#include "server/main/exitcodes.h"
#include "server/main/run.h"
#include "server/settings/settings.h"
#include "server/main/workdir.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

const char *programName = "Mergator";

namespace {

// What the command line asked for.
struct tOptions {
    const char *directory = ".";      // -d
    const char *importFile = nullptr; // -i
    int minimalOption = 0;            // -m
    int cleanEmpty = 0;               // -c
    int deleteAll = 0;                // -C
    const char *serviceWord = nullptr;  // the -s... word of the service action
    int deleteOld = 0;                // -D (migration mode)
};

// The usage text of the multiplexer or of the migration tool.
void PrintUsage(FILE *out, const char *fileName, int migrationMode) {
    fprintf(out, "Usage: %s [options]\n", fileName);
    if (migrationMode) {
        fputs("-d dir  Use this directory for all files instead of current one\n"
              "-h      Print this help and exit\n"
              "-v      Print name, version, copyright and exit\n"
              "-D      Delete old files and directories after migration\n"
              "-P      Proceed (if no other option specified)\n",
              out);
        return;
    }
    fputs("-c      Delete empty files and directories and exit\n"
          "-d dir  Use this directory for all files instead of current one\n"
          "-h      Print this help and exit\n"
          "-i file Import a list of additional news-servers from file\n"
          "-m      Perform minimal exploration of servers and exit\n"
          "-sl p   List Windows services matching pattern <p>\n"
          "-si     Install Mergator as a Windows service\n"
          "-sa     Start the Mergator service\n"
          "-sp     Pause the Mergator service\n"
          "-sc     Continue the Mergator service\n"
          "-so     Stop the Mergator service\n"
          "-su     Uninstall the Mergator service\n"
          "-v      Print name, version, copyright and exit\n"
          "-C      Delete all created files and directories and exit (dangerous!)\n",
          out);
}

// The file name of the program: what follows the last "/" or "\", or a
// drive letter and ":".
const char *BaseName(const char *path) {
    const char *name = path;
    if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':')
        name = path + 2;
    for (const char *p = name; *p; p++) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

// Parses the command line into opt. Returns -1 to go on, or the exit code
// the command line ends with (messages printed): 0 for -v, 1 for -h, 2 for
// an option error.
int ParseOptions(int argc, char **argv, const char *fileName, int migrationMode, tOptions *opt) {
    if (migrationMode && argc < 2) {
        PrintUsage(stderr, fileName, migrationMode);
        return EXIT_BAD_OPTION;
    }
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (word[0] != '-') {
            // The first word that is not an option ends the options, and
            // such a word is never expected.
            PrintUsage(stderr, fileName, migrationMode);
            return EXIT_BAD_OPTION;
        }
        char letter = word[1];
        bool known = true;
        switch (letter) {
            case 'd':
            case 'i':
                if (letter == 'i' && migrationMode) {
                    known = false;
                    break;
                }
                if (i + 1 >= argc) {
                    PrintUsage(stderr, fileName, migrationMode);
                    return EXIT_BAD_OPTION;
                }
                (letter == 'd' ? opt->directory : opt->importFile) = argv[++i];
                break;
            case 'h':
                PrintUsage(stdout, fileName, migrationMode);
                return EXIT_HELP;
            case 'v':
                return EXIT_NO_PROBLEM;
            case 'P':
                break;
            case 'c':
            case 'C':
            case 'm':
            case 's':
                if (migrationMode) {
                    known = false;
                    break;
                }
                if (letter == 'c') opt->cleanEmpty = 1;
                if (letter == 'C') opt->deleteAll = 1;
                if (letter == 'm') opt->minimalOption = 1;
                if (letter == 's') {
                    char action = word[2];
                    if (action == '\0' || !strchr("liapcou", action)) {
                        fprintf(stderr, "No such command '%s'\n", word);
                        return EXIT_BAD_OPTION;
                    }
                    if (opt->serviceWord) {
                        fputs("Only one service action is allowed.\n", stderr);
                        return EXIT_BAD_OPTION;
                    }
                    if (action == 'l') {
                        if (i + 1 >= argc) {
                            fprintf(stderr, "The '%s' option requires a <pattern> argument.\n", word);
                            return EXIT_BAD_OPTION;
                        }
                        i++;   // the pattern
                    }
                    opt->serviceWord = word;
                }
                break;
            case 'D':
                if (!migrationMode) known = false;
                else opt->deleteOld = 1;
                break;
            default:
                known = false;
                break;
        }
        if (!known) {
            fprintf(stderr, "Option -%s is unknown.\n", word + 1);
            PrintUsage(stderr, fileName, migrationMode);
            return EXIT_BAD_OPTION;
        }
    }
    return -1;
}

void ConsoleEvent(int event) {
    fprintf(stderr, "Shutdown requested by signal %d...\n", event);
    RequestShutdown(EXIT_SIGNAL);
}

// Removes the files and directories of the older layout after a successful
// migration. Returns 0, or EXIT_MIGRATION_FAILED when some remain.
int DestroyOldLayout() {
    printf("Destroying old files and directories.\n");
    std::error_code ec;
    for (const char *file : {"etc/scheduld", "etc/done", "etc/hidden", "etc/retrievd", "etc/groups",
                             "etc/popular.ini"}) {
        if (!std::filesystem::is_directory(std::filesystem::symlink_status(file, ec)))
            std::filesystem::remove(file, ec);
    }
    for (const char *dir : {"dataset2", "index", "update", "newsrc2"}) {
        DeleteFilesOf(dir);
        if (std::filesystem::is_directory(std::filesystem::symlink_status(dir, ec)))
            std::filesystem::remove(dir, ec);
    }
    if (OldLayoutPresent()) {
        printf("Could not delete some old files or directories.\n");
        return EXIT_MIGRATION_FAILED;
    }
    return 0;
}

// The body of Main between the banner and the final prompt.
int MainRun(int argc, char **argv, const char *fileName, int migrationMode, bool *promptWanted) {
    waitEnter = 1;
    tOptions opt;
    int code = ParseOptions(argc, argv, fileName, migrationMode, &opt);
    if (code == EXIT_NO_PROBLEM) {
        *promptWanted = false;     // -v
        return code;
    }
    if (code >= 0) return code;

    if (opt.serviceWord) {
        // The service actions drive the Windows service manager, which this
        // platform does not have.
        fprintf(stderr, "The service action '%s' is not available on this platform: "
                        "Mergator runs as an ordinary program here.\n",
                opt.serviceWord);
        return EXIT_SERVICE_FAILED;
    }

    if (opt.cleanEmpty || opt.deleteAll) {
        std::error_code ec;
        std::filesystem::current_path(opt.directory, ec);
        if (ec) {
            printf("Work directory '%s' does not exist.\n", opt.directory);
            return EXIT_NO_WORK_DIRECTORY;
        }
        if (opt.deleteAll) DeleteAllCreated();
        else CleanWorkDirectory(1);
        return EXIT_NO_PROBLEM;
    }

    int autoConfigured = 0;
    code = PrepareWorkDirectory(opt.directory, opt.minimalOption, migrationMode);
    if (code == EXIT_AUTOCONFIG_DONE) {
        autoConfigured = 1;
        code = 0;
    } else if (code != 0) {
        if (migrationMode) printf("Did not find a Mergator installation in '%s'.\n", opt.directory);
        else printf("Auto-configuration failed: %s\n", ExitCodeText(code));
        return code;
    }

    if (migrationMode && !OldLayoutPresent()) {
        printf("No old files or directories were found to migrate.\n"
               "You can start Mergator directly.\n");
        return EXIT_NO_PROBLEM;
    }
    fflush(stdout);
    code = RunServer(consoleAttached, opt.minimalOption, autoConfigured, opt.importFile, migrationMode);
    if (migrationMode && code == 0) {
        if (opt.deleteOld) code = DestroyOldLayout();
        if (code == 0) {
            printf("Migration performed successfully.\n");
            if (opt.deleteOld) printf("You can now start the current version of Mergator.\n");
            else
                printf("You will need to delete old files and directories by hand,\n"
                       "or to re-run MgMigrat with the -D option,\n"
                       "before starting the current version of Mergator.\n");
        }
    }
    return code;
}

}  // namespace

const char *ProgramBanner() {
    static char banner[160];
    snprintf(banner, sizeof banner, "%s 4.5 (%s)  Usenet news-server multiplexer", programName, __DATE__);
    return banner;
}

void InstallConsoleControl() {
    if (!ConsoleControlInstall(ConsoleEvent))
        fputs("Could not start the console control thread; Ctrl-C ends Mergator at once.\n", stderr);
}

int Main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *fileName = BaseName(argc > 0 && argv[0] ? argv[0] : "mergator");
    int migrationMode = (strstr(fileName, "mgmigrat") || strstr(fileName, "MGMIGRAT")) ? 1 : 0;
    programName = migrationMode ? "MgMigrat" : "Mergator";

    InstallConsoleControl();
    // Without arguments the program would first offer itself to the Windows
    // service manager; this platform has none, so it always runs here.

    fprintf(stderr, "%s\n", ProgramBanner());

    bool promptWanted = true;
    int code = MainRun(argc, argv, fileName, migrationMode, &promptWanted);

    // The final prompt keeps a console window open on the message; it needs
    // someone at a terminal to answer it.
    fflush(stdout);
    if (promptWanted && (code != 0 || migrationMode) && consoleAttached && (waitEnter || migrationMode) &&
        ConsoleIsInteractive()) {
        fprintf(stderr, "Press Enter to terminate %s\n", programName);
        ConsoleWaitKey();
    }
    return code;
}
