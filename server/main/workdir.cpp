#include "server/main/workdir.h"

#include "lib/console.h"
#include "lib/files.h"
#include "lib/shutdown.h"
#include "server/main/exitcodes.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A row of the built-in table of public news servers: the address (a host,
// possibly followed by ":port") and an optional comment.
struct tPublicServer {
    const char *url;
    const char *comment;
};

// The public news servers added to every new "etc/servers.ini", ended by an
// empty row. The rows come with the automatic server search.
const tPublicServer publicServers[] = {
    {nullptr, nullptr},
};

bool EnterDirectory(const char *path) {
    std::error_code ec;
    fs::current_path(path, ec);
    return !ec;
}

// Removes path when it is an empty regular file.
void RemoveIfEmptyFile(const char *path) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec))) return;
    if (fs::file_size(path, ec) == 0 && !ec) fs::remove(path, ec);
}

// Removes path when it is an empty directory.
void RemoveIfEmptyDirectory(const char *path) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec))) return;
    if (fs::is_empty(path, ec) && !ec) fs::remove(path, ec);
}

// Removes path when it is a file (never a directory).
void RemoveFile(const char *path) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path, ec))) return;
    fs::remove(path, ec);
}

// The "Create it (y/n/q)? " dialogue for a missing work directory. Returns 0
// when the directory was created and entered, else an exit code.
int OfferToCreate(const char *directory) {
    for (;;) {
        fputs("Create it (y/n/q)? ", stdout);
        fflush(stdout);
        char answer[128];
        int len = ConsoleReadLine(answer, sizeof answer);
        if (ShutdownRequested()) return shutdownCode.load();
        if (len < 0) {
            // No more input: nobody can say yes.
            fputs("\n", stdout);
            return EXIT_AUTOCONFIG_FAILED;
        }
        char c = answer[0];
        if (c == 'y' || c == 'Y') break;
        if (c == 'n' || c == 'N' || c == 'q' || c == 'Q') return EXIT_AUTOCONFIG_FAILED;
    }
    std::error_code ec;
    fs::create_directory(directory, ec);
    if (!EnterDirectory(directory)) {
        printf("Could not create the working directory '%s'.\n"
               "Try running Mergator without the -d option\n"
               "or provide another work directory name.\n",
               directory);
        return EXIT_NO_WORK_DIRECTORY;
    }
    return 0;
}

}  // namespace

int PrepareWorkDirectory(const char *directory, int minimalOption, int migrationMode) {
    bool created = false;

    if (!EnterDirectory(directory)) {
        printf("Work directory '%s' does not exist.\n", directory);
        if (migrationMode) return EXIT_NO_WORK_DIRECTORY;
        int rc = OfferToCreate(directory);
        if (rc != 0) return rc;
        created = true;
    }

    for (const char *name : {"config", "database", "newsrc", "dataset"}) {
        if (FileExists(name)) {
            fputs("This version of Mergator cannot be used with a pre-4.0 work directory,\n"
                  "because the names and formats of several files have changed.\n"
                  "You will need a fresh install.\n",
                  stdout);
            return EXIT_AUTOCONFIG_FAILED;
        }
    }

    if (!migrationMode && OldLayoutPresent()) {
        fputs("Files from pre-4.5 versions of Mergator have been found in the work directory. "
              "Please migrate them to 4.5 format using the MgMigrat utility.\n",
              stdout);
        return EXIT_MIGRATION_REQUIRED;
    }

    if (!FileExists("etc")) {
        if (migrationMode) return EXIT_NO_WORK_DIRECTORY;
        fputs("Creating the etc sub-directory.\n", stdout);
        std::error_code ec;
        fs::create_directory("etc", ec);
        created = true;
    }

    FILE *servers = fopen("etc/servers.ini", "r");
    if (servers) {
        fclose(servers);
    } else {
        if (migrationMode) return EXIT_NO_WORK_DIRECTORY;
        fputs("No etc/servers.ini file yet.\n", stdout);
        fflush(stdout);
        // Exclusive creation: a file that exists but cannot be read is never
        // overwritten.
        servers = fopen("etc/servers.ini", "wx");
        if (!servers) {
            fputs("Could not create the etc/servers.ini file.\n", stderr);
            return EXIT_AUTOCONFIG_FAILED;
        }
        created = true;
        if (minimalOption) {
            fclose(servers);
            return EXIT_AUTOCONFIG_DONE;
        }
        fputs("Trying to locate your news-servers automatically.\n", stdout);
        fflush(stdout);
        // The automatic search for the news servers of this computer's
        // domains (AutoLocateServers) goes here: it appends a "[server]"
        // section per server that answers, counts the names it tried and
        // returns 0 or the shutdown code (then close the file and return
        // it). Until it exists no name is tried.
        int tried = 0;
        if (tried > 0) printf("Processed %d server(s).\n", tried);
        fputs("Adding some public news-servers.\n", stdout);
        for (const tPublicServer *row = publicServers; row->url; row++) {
            fprintf(servers, "[server]\nurl=%s\n", row->url);
            if (row->comment) fprintf(servers, "comment=%s\n", row->comment);
            fputs("\n", servers);
        }
        if (fclose(servers) != 0) {
            fputs("Could not create the etc/servers.ini file.\n", stderr);
            return EXIT_AUTOCONFIG_FAILED;
        }
    }

    if (!created || migrationMode) return 0;
    fputs("Auto-configuration terminated.\n", stdout);
    return EXIT_AUTOCONFIG_DONE;
}

void DeleteFilesOf(const char *dir, const char *exceptSuffix) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(dir, ec))) return;
    size_t suffixLen = exceptSuffix ? strlen(exceptSuffix) : 0;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (!it->is_regular_file(ec2) && !it->is_symlink(ec2)) continue;
        std::string name = it->path().filename().string();
        if (exceptSuffix && name.size() >= suffixLen &&
            name.compare(name.size() - suffixLen, suffixLen, exceptSuffix) == 0)
            continue;
        fs::remove(it->path(), ec2);
    }
}

void CleanWorkDirectory(int withLogs) {
    if (withLogs) {
        RemoveIfEmptyFile("logs/clients");
        RemoveIfEmptyFile("logs/summary");
        RemoveIfEmptyFile("logs/web");
    }
    RemoveIfEmptyFile("logs/unusable");
    for (const char *dir : {"cache", "list", "logs", "etc", "explore", "connect", "async", "index2", "newsrc3",
                            "xhdr"}) {
        RemoveIfEmptyDirectory(dir);
    }
    for (const char *file : {"telnet.htm", "telnet.url", "news.htm", "news.url", "web.htm", "web.url"}) {
        RemoveFile(file);
    }
}

void DeleteAllCreated() {
    DeleteFilesOf("index2");
    for (const char *file : {"etc/async.sq3", "etc/async.sq3-journal", "etc/groups.sq3", "etc/groups.sq3-journal",
                             "etc/hidden.sq3", "etc/hidden.sq3-journal", "etc/retrievd.sq3",
                             "etc/retrievd.sq3-journal"}) {
        RemoveFile(file);
    }
    DeleteFilesOf("explore");
    DeleteFilesOf("connect");
    DeleteFilesOf("logs");
    // The rollback journals go with their databases: a journal left behind
    // would be played back into the next database of the same name.
    DeleteFilesOf("newsrc3");
    DeleteFilesOf("xhdr");
    RemoveFile("journal");
    RemoveFile("journal.bak");
    CleanWorkDirectory(1);
}
