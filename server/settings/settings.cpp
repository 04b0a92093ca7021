#include "server/settings/settings.h"

#include <mutex>

// Section access
char *banner;
char *bannerOkForVersion;
int bannerOkAlways;
int nntpEnabled;
int nntpPort;
int otherComputers;
char *adminLogin;
char *adminPass;
char *userLogin;
char *userPass;
int webEnabled;
int webPort;
int webHtm;
int webUrl;
int telnetHtm;
int telnetUrl;
int newsHtm;
int newsUrl;
int maxNntp;
int maxWeb;
int nntpQueueRequests;
int webQueueRequests;
tIniStringArray allowedIP;
tIniStringArray allowedHostName;
int hostNameRequired;

// Section async
tIniStringArray binaryFilter;
char *executeCmd;
int executeYes;
int lineTrigger;
int reportAsDeleted;
int serverAvailable;
int simultaneous;
int zombieTasks;

// Section clients
tIniStringArray addPostedHeaderLeading;
tIniStringArray addPostedHeaderTrailing;
tIniStringArray addPostedBodyLeading;
tIniStringArray addPostedBodyTrailing;
int allowIHAVE;
int fakes;
int globalMsgIdRetrieval;
tIniStringArray junkPostedHeader;
int logPostedBodies;
int renumber;
int showOnlyActiveGroups;
int retrievedShow;
int provideXrefs;
int reformatDates;

// Section connect
int enforceForbiddenIPs;
tIniStringArray forbiddenIP;
int maxCategoryWait;
int maxTasks;
int priorityDirect;
int priorityAsync;
int priorityExplore;

// Section explore
int alwaysFilter;
int alwaysLIST;
int daysTooOld;
int deferredOnStartup;
int explore;
int minimal;
int noXGTITLE;
int numbersCollapseMaxRanges;
int numbersCollapseMinDistance;
int quitAfter;
int simultaneousMinimal;
int simultaneousNormal;
int skipEmptyGroups;
int useXrefs;
int xrefLogAddedArticle;
int xrefLogGroupNotActive;
int xrefLogHadArticle;

// Section general
int assumeInternetPresent;
int exitIfNoInternet;
int hiddenLog;
int mutexUnlockBeforeCondSignal;
int retrievedLog;
int retrievedMark;
int shortFileNames;
int storeDefaults;
int verbose;
int zombieDays;

// Section groups
tIniStringArray yes;
tIniStringArray noByName;
tIniStringArray noByPattern;

// Section startup
int applyHidden;
int applyRetrievd;
int compactAll;
int filterAll;
int hideIfBackground;
int ignoreAnother;
int lowerPriority;
int runInBackground;

// Section shutdown
int waitEnter;
int updateMergatorIni;
int deleteActual;
int deleteJournal;
int deleteLogsClients;
int deleteLogsCompact;
int deleteLogsIntruder;
int deleteLogsResults;
int deleteLogsSummary;
int deleteLogsUnusable;
int deleteLogsWeb;
int deleteExplore;
int deleteConnect;
int deleteLogs;

namespace {

const char *const allPatterns[] = {"*", nullptr};

const char *const defaultBinaryFilter[] = {
    "!Re: *", "!*(0/1)*", "*.386*",   "*.arc*",        "*.arj*",  "*.asf*",      "*.avi*",
    "*.bat*", "* bytes*", "*.bmp*",   "*.cab*",        "*.crc*",  "*.csv*",      "*.dat*",
    "*.dll*", "*.doc*",   "*.drv*",   "*.exe*",        "*.fon*",  "*.gif*",      "*.gz*",
    "*.hlp*", "*.ico*",   "*.jpg*",   "*jpeg*",        "*.lzh*",  "*mpeg*",      "*.m[12]v*",
    "*.mov*", "*[._]mp[23gv]*", "*.mid*", "*.ocx*",    "*.ppt*",  "*.[pr]ar*",   "*.[pr][0-9]*",
    "*.ram*", "*.rm*",    "*.scr*",   "*.sfv*",        "*.sys*",  "*.tar*",      "*.ttf*",
    "*.vob*", "*.vxd*",   "*.wav*",   "*.wm[av]*",     "*.wri*",  "*.zip*",      "*.zoo*",
    nullptr};

const char *const defaultJunkPostedHeader[] = {
    "X-Mailer:",     "X-Accept-Language:", "X-Converter:",     "X-Hamster:",
    "X-Korrnews:",   "X-Newsreader:",      "X-MimeOLE:",       "X-MSMail-Priority:",
    "X-Priority:",   "X-Binary-Poster:",   "X-WM-Posted-At:",  "X-Posting-Agent:",
    "X-Newsposter:", "Sender:",            "User-Agent:",      nullptr};

const char *const defaultForbiddenIP[] = {"10.*",        "127.*",       "169.254.*", "172.1[6-9].*",
                                          "172.2?.*",    "172.3[01].*", "192.168.*", nullptr};

#define INI_BOOL(var, def) {#var, &iniTypeBoolean, IniVar(&var), IniDefInt(def)}
#define INI_INT(var, def) {#var, &iniTypeInteger, IniVar(&var), IniDefInt(def)}
#define INI_NONNEG(var, def) {#var, &iniTypeNonNegative, IniVar(&var), IniDefInt(def)}
#define INI_PORT(var, def) {#var, &iniTypeTcpPort, IniVar(&var), IniDefInt(def)}
#define INI_STRING(var, def) {#var, &iniTypeString, IniVar(&var), IniDefText(def)}
#define INI_STRINGS(var, def) {#var, &iniTypeStringArray, IniVar(&var), IniDefList(def)}
#define INI_END {nullptr, nullptr, 0, 0}

const tIniEntry accessEntries[] = {
    INI_STRING(banner, "200 Mergator 4.5 (posting allowed)"),
    INI_STRING(bannerOkForVersion, nullptr),
    INI_BOOL(bannerOkAlways, 0),
    INI_BOOL(nntpEnabled, 1),
    INI_PORT(nntpPort, 119),
    INI_BOOL(otherComputers, 0),
    INI_STRING(adminLogin, nullptr),
    INI_STRING(adminPass, nullptr),
    INI_STRING(userLogin, nullptr),
    INI_STRING(userPass, nullptr),
    INI_BOOL(webEnabled, 1),
    INI_PORT(webPort, 8000),
    INI_BOOL(webHtm, 1),
    INI_BOOL(webUrl, 1),
    INI_BOOL(telnetHtm, 1),
    INI_BOOL(telnetUrl, 1),
    INI_BOOL(newsHtm, 1),
    INI_BOOL(newsUrl, 1),
    INI_NONNEG(maxNntp, 16),
    INI_NONNEG(maxWeb, 16),
    INI_BOOL(nntpQueueRequests, 0),
    INI_BOOL(webQueueRequests, 0),
    INI_STRINGS(allowedIP, allPatterns),
    INI_STRINGS(allowedHostName, allPatterns),
    INI_BOOL(hostNameRequired, 0),
    INI_END,
};

const tIniEntry asyncEntries[] = {
    INI_STRINGS(binaryFilter, defaultBinaryFilter),
    INI_STRING(executeCmd, "mguud -C -T -t decoded"),
    INI_BOOL(executeYes, 0),
    INI_INT(lineTrigger, 0),
    INI_BOOL(reportAsDeleted, 0),
    INI_INT(serverAvailable, 4),
    INI_NONNEG(simultaneous, 4),
    INI_NONNEG(zombieTasks, 1),
    INI_END,
};

const tIniEntry clientsEntries[] = {
    INI_STRINGS(addPostedHeaderLeading, nullptr),
    INI_STRINGS(addPostedHeaderTrailing, nullptr),
    INI_STRINGS(addPostedBodyLeading, nullptr),
    INI_STRINGS(addPostedBodyTrailing, nullptr),
    INI_BOOL(allowIHAVE, 0),
    INI_BOOL(fakes, 1),
    INI_BOOL(globalMsgIdRetrieval, 1),
    INI_STRINGS(junkPostedHeader, defaultJunkPostedHeader),
    INI_BOOL(logPostedBodies, 1),
    INI_INT(renumber, 0),
    INI_BOOL(showOnlyActiveGroups, 0),
    INI_BOOL(retrievedShow, 1),
    INI_BOOL(provideXrefs, 0),
    INI_BOOL(reformatDates, 0),
    INI_END,
};

const tIniEntry connectEntries[] = {
    INI_INT(enforceForbiddenIPs, 1),
    INI_STRINGS(forbiddenIP, defaultForbiddenIP),
    INI_INT(maxCategoryWait, 3),
    INI_INT(maxTasks, 16),
    INI_INT(priorityDirect, -120),
    INI_INT(priorityAsync, 0),
    INI_INT(priorityExplore, 120),
    INI_END,
};

const tIniEntry exploreEntries[] = {
    INI_BOOL(alwaysFilter, 0),
    INI_BOOL(alwaysLIST, 0),
    INI_INT(daysTooOld, 0),
    INI_BOOL(deferredOnStartup, 0),
    INI_BOOL(explore, 1),
    INI_BOOL(minimal, 0),
    INI_BOOL(noXGTITLE, 0),
    INI_NONNEG(numbersCollapseMaxRanges, 32),
    INI_NONNEG(numbersCollapseMinDistance, 5),
    INI_BOOL(quitAfter, 0),
    INI_NONNEG(simultaneousMinimal, 16),
    INI_NONNEG(simultaneousNormal, 8),
    INI_BOOL(skipEmptyGroups, 0),
    INI_BOOL(useXrefs, 1),
    INI_BOOL(xrefLogAddedArticle, 0),
    INI_BOOL(xrefLogGroupNotActive, 0),
    INI_BOOL(xrefLogHadArticle, 0),
    INI_END,
};

const tIniEntry generalEntries[] = {
    INI_BOOL(assumeInternetPresent, 0),
    INI_BOOL(exitIfNoInternet, 0),
    INI_BOOL(hiddenLog, 1),
    INI_BOOL(mutexUnlockBeforeCondSignal, 0),
    INI_BOOL(retrievedLog, 1),
    INI_BOOL(retrievedMark, 1),
    INI_BOOL(shortFileNames, 0),
    INI_BOOL(storeDefaults, 1),
    INI_BOOL(timeStampLogs, 1),
    INI_BOOL(verbose, 0),
    INI_INT(zombieDays, 7),
    INI_END,
};

const tIniEntry groupsEntries[] = {
    INI_STRINGS(yes, allPatterns),
    INI_STRINGS(noByName, nullptr),
    INI_STRINGS(noByPattern, nullptr),
    INI_END,
};

const tIniEntry startupEntries[] = {
    INI_BOOL(applyHidden, 0),
    INI_BOOL(applyRetrievd, 0),
    INI_BOOL(compactAll, 0),
    INI_BOOL(filterAll, 0),
    INI_BOOL(hideIfBackground, 1),
    INI_BOOL(ignoreAnother, 0),
    INI_BOOL(lowerPriority, 0),
    INI_BOOL(runInBackground, 0),
    INI_END,
};

const tIniEntry shutdownEntries[] = {
    INI_BOOL(waitEnter, 1),
    INI_BOOL(updateMergatorIni, 1),
    INI_BOOL(deleteActual, 0),
    INI_BOOL(deleteJournal, 0),
    INI_BOOL(deleteLogsClients, 0),
    INI_BOOL(deleteLogsCompact, 0),
    INI_BOOL(deleteLogsIntruder, 0),
    INI_BOOL(deleteLogsResults, 0),
    INI_BOOL(deleteLogsSummary, 0),
    INI_BOOL(deleteLogsUnusable, 0),
    INI_BOOL(deleteLogsWeb, 0),
    INI_BOOL(deleteExplore, 0),
    INI_BOOL(deleteConnect, 0),
    INI_BOOL(deleteLogs, 0),
    INI_END,
};

tIniSection sections[] = {
    {"access", accessEntries, nullptr},   {"async", asyncEntries, nullptr},
    {"clients", clientsEntries, nullptr}, {"connect", connectEntries, nullptr},
    {"explore", exploreEntries, nullptr}, {"general", generalEntries, nullptr},
    {"groups", groupsEntries, nullptr},   {"startup", startupEntries, nullptr},
    {"shutdown", shutdownEntries, nullptr}, {nullptr, nullptr, nullptr},
};

std::mutex saveLock;

}  // namespace

tIniFile mergatorIni = {"etc/mergator.ini", sections, nullptr, 1};

int SettingsLoad(tLog *log) {
    return IniLoad(&mergatorIni, log, mergatorIni.storeDefaults);
}

int SettingsCheckPorts(tLog *log) {
    if (nntpPort != webPort) return 0;
    LogMessage(log, "NNTP server port and Web server port must be different.\n");
    return 52;
}

int SettingsSave(tLog *log) {
    std::lock_guard<std::mutex> guard(saveLock);
    mergatorIni.storeDefaults = storeDefaults;
    int rc = IniWrite(&mergatorIni);
    if (rc != 0) LogMessage(log, "Could not save the etc/mergator.ini file.\n");
    return rc;
}

int SettingsWriteBack(tLog *log) {
    return updateMergatorIni ? SettingsSave(log) : 0;
}

void SettingsRelease() {
    IniRelease(&mergatorIni);
}
