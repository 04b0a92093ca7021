#include "server/settings/settings.h"

#include "lib/diag.h"
#include "tests/support/paths.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Runs each test inside a fresh work directory with an open journal.
class Settings : public ::testing::Test {
protected:
    tTempDir dir;
    std::string oldCwd;
    void SetUp() override {
        oldCwd = std::filesystem::current_path();
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        std::filesystem::create_directory("etc");
        ASSERT_EQ(LogOpen(&journal, "journal", 204800), E_OK);
        mergatorIni.storeDefaults = 1;
    }
    void TearDown() override {
        SettingsRelease();
        LogClose(&journal);
        ASSERT_EQ(chdir(oldCwd.c_str()), 0);
    }
    std::string Journal() { return ReadWholeFile("journal"); }
    std::string Ini() { return ReadWholeFile("etc/mergator.ini"); }
};

std::vector<std::string> Strings(const tIniStringArray &a) {
    std::vector<std::string> out;
    for (char **p = IniStrings(a); p && *p; p++) out.push_back(*p);
    return out;
}

// The sections and their keys, in file order.
const char *const expectedLayout[][2] = {
    {"access",
     "banner bannerOkForVersion bannerOkAlways nntpEnabled nntpPort otherComputers adminLogin adminPass "
     "userLogin userPass webEnabled webPort webHtm webUrl telnetHtm telnetUrl newsHtm newsUrl maxNntp maxWeb "
     "nntpQueueRequests webQueueRequests allowedIP allowedHostName hostNameRequired"},
    {"async", "binaryFilter executeCmd executeYes lineTrigger reportAsDeleted serverAvailable simultaneous "
              "zombieTasks"},
    {"clients",
     "addPostedHeaderLeading addPostedHeaderTrailing addPostedBodyLeading addPostedBodyTrailing allowIHAVE "
     "fakes globalMsgIdRetrieval junkPostedHeader logPostedBodies renumber showOnlyActiveGroups retrievedShow "
     "provideXrefs reformatDates"},
    {"connect", "enforceForbiddenIPs forbiddenIP maxCategoryWait maxTasks priorityDirect priorityAsync "
                "priorityExplore"},
    {"explore",
     "alwaysFilter alwaysLIST daysTooOld deferredOnStartup explore minimal noXGTITLE numbersCollapseMaxRanges "
     "numbersCollapseMinDistance quitAfter simultaneousMinimal simultaneousNormal skipEmptyGroups useXrefs "
     "xrefLogAddedArticle xrefLogGroupNotActive xrefLogHadArticle"},
    {"general", "assumeInternetPresent exitIfNoInternet hiddenLog mutexUnlockBeforeCondSignal retrievedLog "
                "retrievedMark shortFileNames storeDefaults timeStampLogs verbose zombieDays"},
    {"groups", "yes noByName noByPattern"},
    {"startup", "applyHidden applyRetrievd compactAll filterAll hideIfBackground ignoreAnother lowerPriority "
                "runInBackground"},
    {"shutdown", "waitEnter updateMergatorIni deleteActual deleteJournal deleteLogsClients deleteLogsCompact "
                 "deleteLogsIntruder deleteLogsResults deleteLogsSummary deleteLogsUnusable deleteLogsWeb "
                 "deleteExplore deleteConnect deleteLogs"},
};

TEST_F(Settings, TableHoldsTheSectionsAndKeysInOrder) {
    int keys = 0;
    size_t i = 0;
    for (const tIniSection *s = mergatorIni.sections; s->name; s++, i++) {
        ASSERT_LT(i, std::size(expectedLayout));
        EXPECT_STREQ(s->name, expectedLayout[i][0]);
        EXPECT_EQ(s->ops, nullptr);
        std::string names;
        for (const tIniEntry *e = s->entries; e->name; e++, keys++) names += std::string(names.empty() ? "" : " ") + e->name;
        EXPECT_EQ(names, expectedLayout[i][1]);
    }
    EXPECT_EQ(i, std::size(expectedLayout));
    EXPECT_EQ(keys, 107);
    EXPECT_STREQ(mergatorIni.name, "etc/mergator.ini");
    EXPECT_EQ(mergatorIni.sectionResolver, nullptr);
    // timeStampLogs is the log module's own variable.
    const tIniEntry *stamp = IniFindEntry(&mergatorIni.sections[5], "TIMESTAMPLOGS");
    ASSERT_NE(stamp, nullptr);
    EXPECT_EQ(IniEntryAddress(stamp, nullptr), (void *)&timeStampLogs);
}

TEST_F(Settings, FreshWorkDirectoryGetsEveryKeyWithItsDefault) {
    ASSERT_EQ(SettingsLoad(&journal), 0);
    EXPECT_NE(Journal().find("Created the etc/mergator.ini file.\n"), std::string::npos);

    // Representative defaults of each type.
    EXPECT_STREQ(banner, "200 Mergator 4.5 (posting allowed)");
    EXPECT_EQ(bannerOkForVersion, nullptr);
    EXPECT_STREQ(executeCmd, "mguud -C -T -t decoded");
    EXPECT_EQ(nntpPort, 119);
    EXPECT_EQ(webPort, 8000);
    EXPECT_EQ(maxNntp, 16);
    EXPECT_EQ(numbersCollapseMaxRanges, 32);
    EXPECT_EQ(numbersCollapseMinDistance, 5);
    EXPECT_EQ(simultaneousNormal, 8);
    EXPECT_EQ(priorityDirect, -120);
    EXPECT_EQ(priorityExplore, 120);
    EXPECT_EQ(serverAvailable, 4);
    EXPECT_EQ(zombieDays, 7);
    EXPECT_EQ(nntpEnabled, 1);
    EXPECT_EQ(otherComputers, 0);
    EXPECT_EQ(hideIfBackground, 1);
    EXPECT_EQ(updateMergatorIni, 1);
    EXPECT_EQ(storeDefaults, 1);
    EXPECT_EQ(timeStampLogs, 1);
    EXPECT_EQ(Strings(allowedIP), (std::vector<std::string>{"*"}));
    EXPECT_EQ(Strings(yes), (std::vector<std::string>{"*"}));
    EXPECT_TRUE(Strings(noByName).empty());
    EXPECT_EQ(Strings(forbiddenIP), (std::vector<std::string>{"10.*", "127.*", "169.254.*", "172.1[6-9].*",
                                                              "172.2?.*", "172.3[01].*", "192.168.*"}));
    std::vector<std::string> filter = Strings(binaryFilter);
    ASSERT_EQ(filter.size(), 49u);
    EXPECT_EQ(filter[0], "!Re: *");
    EXPECT_EQ(filter[29], "*[._]mp[23gv]*");
    EXPECT_EQ(filter[48], "*.zoo*");
    std::vector<std::string> junk = Strings(junkPostedHeader);
    ASSERT_EQ(junk.size(), 15u);
    EXPECT_EQ(junk[0], "X-Mailer:");
    EXPECT_EQ(junk[14], "User-Agent:");

    // The file: every scalar key once, arrays once per element, empty
    // arrays absent.
    std::string text = Ini();
    EXPECT_EQ(text.rfind("[access]\nbanner=200 Mergator 4.5 (posting allowed)\nbannerOkForVersion=\n"
                         "bannerOkAlways=0\nnntpEnabled=1\nnntpPort=119\n",
                         0),
              0u);
    EXPECT_NE(text.find("\nallowedIP=*\nallowedHostName=*\nhostNameRequired=0\n\n[async]\n"
                        "binaryFilter=!Re: *\nbinaryFilter=!*(0/1)*\n"),
              std::string::npos);
    EXPECT_NE(text.find("[clients]\nallowIHAVE=0\n"), std::string::npos);
    EXPECT_NE(text.find("[groups]\nyes=*\n\n[startup]\n"), std::string::npos);
    EXPECT_NE(text.find("priorityDirect=-120\n"), std::string::npos);
    std::istringstream lines(text);
    std::string line;
    int keyLines = 0;
    while (std::getline(lines, line))
        if (line.find('=') != std::string::npos) keyLines++;
    EXPECT_EQ(keyLines, 95 + 1 + 1 + 49 + 15 + 7 + 1);  // 95 scalars, then the array elements
}

TEST_F(Settings, FileValuesOverrideDefaults) {
    ASSERT_TRUE(WriteWholeFile("etc/mergator.ini",
                               "[ACCESS]\nNNTPPORT=1119\nnntpPort=70000\nverbose = 1\n"
                               "[groups]\nyes=comp.*\nyes=!comp.binaries.*\n[general]\nverbose=1\n"));
    ASSERT_EQ(SettingsLoad(&journal), 0);
    EXPECT_EQ(nntpPort, 1119);
    EXPECT_EQ(Strings(yes), (std::vector<std::string>{"comp.*", "!comp.binaries.*"}));
    EXPECT_EQ(verbose, 1);
    std::string j = Journal();
    EXPECT_NE(j.find("Ignoring entry nntpPort of type tcp-port because Integer value outside of allowed "
                     "range: nntpPort=70000\n"),
              std::string::npos);
    EXPECT_NE(j.find("Ignoring line because Unknown entry name: verbose = 1\n"), std::string::npos);
}

TEST_F(Settings, UnreadableSettingsFailTheLoad) {
    ASSERT_TRUE(WriteWholeFile("etc/mergator.ini", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10) + "junk"));
    EXPECT_EQ(SettingsLoad(&journal), -1);
    EXPECT_NE(Journal().find("Could not read the etc/mergator.ini file: Not in a section\n"), std::string::npos);
    // An empty file is valid: all defaults.
    ASSERT_TRUE(WriteWholeFile("etc/mergator.ini", ""));
    ASSERT_EQ(SettingsLoad(&journal), 0);
    EXPECT_EQ(webPort, 8000);
    EXPECT_EQ(Ini(), "");  // not rewritten by a load
}

TEST_F(Settings, EqualPortsStopTheStart) {
    ASSERT_TRUE(WriteWholeFile("etc/mergator.ini", "[access]\nnntpPort=8000\n"));
    ASSERT_EQ(SettingsLoad(&journal), 0);
    EXPECT_EQ(SettingsCheckPorts(&journal), 52);
    EXPECT_NE(Journal().find("NNTP server port and Web server port must be different.\n"), std::string::npos);
    webPort = 8001;
    EXPECT_EQ(SettingsCheckPorts(&journal), 0);
}

TEST_F(Settings, WriteBackKeepsRunTimeChangesAndHonoursItsSwitches) {
    ASSERT_EQ(SettingsLoad(&journal), 0);
    lineTrigger = -500;
    renumber = 2;
    ASSERT_EQ(SettingsWriteBack(&journal), 0);
    SettingsRelease();
    lineTrigger = renumber = 0;
    ASSERT_EQ(SettingsLoad(&journal), 0);
    EXPECT_EQ(lineTrigger, -500);
    EXPECT_EQ(renumber, 2);
    EXPECT_EQ(Strings(binaryFilter).size(), 49u);

    // Without updateMergatorIni nothing is written.
    updateMergatorIni = 0;
    zombieDays = 30;
    std::string before = Ini();
    ASSERT_EQ(SettingsWriteBack(&journal), 0);
    EXPECT_EQ(Ini(), before);

    // With storeDefaults 0 only changed scalars (and the arrays) remain.
    storeDefaults = 0;
    ASSERT_EQ(SettingsSave(&journal), 0);
    std::string text = Ini();
    EXPECT_NE(text.find("lineTrigger=-500\n"), std::string::npos);
    EXPECT_NE(text.find("zombieDays=30\n"), std::string::npos);
    EXPECT_NE(text.find("storeDefaults=0\n"), std::string::npos);
    EXPECT_NE(text.find("updateMergatorIni=0\n"), std::string::npos);
    EXPECT_NE(text.find("allowedIP=*\n"), std::string::npos);
    EXPECT_EQ(text.find("nntpPort="), std::string::npos);
    EXPECT_EQ(text.find("banner="), std::string::npos);
    EXPECT_EQ(mergatorIni.storeDefaults, 0);

    // A save that cannot be done is reported.
    std::filesystem::remove_all("etc");
    EXPECT_NE(SettingsSave(&journal), 0);
    EXPECT_NE(Journal().find("Could not save the etc/mergator.ini file.\n"), std::string::npos);
}

}  // namespace
