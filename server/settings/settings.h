// The global settings: the file "etc/mergator.ini".
//
// Every key of the file is one global variable of the type its entry names
// (integers and booleans are int, strings owned char * or null, string lists
// tIniStringArray whose texts IniStrings gives as a null-terminated pointer
// array for PatternListMatch). mergatorIni is the table that binds them; its
// sections and keys are listed in the order they are written.
//
// Life of a run: SettingsLoad at start-up (defaults, then the file; a missing
// file is created), SettingsCheckPorts, the run, SettingsWriteBack at the end
// (only with updateMergatorIni), SettingsRelease last.
//
// Threading: the variables are read by every thread after start-up; a few
// (lineTrigger, renumber, zombieDays, nntpPort, webPort) are changed at run
// time by plain stores. Loading and releasing happen on the main thread with
// no other thread running; SettingsSave may be called from any thread and is
// serialised by a lock of its own.
#pragma once

#include "lib/ini.h"
#include "lib/log.h"

// The table of "etc/mergator.ini" (no section resolver; storeDefaults starts
// at 1 and is set from the key storeDefaults before every write).
extern tIniFile mergatorIni;

// Section access
extern char *banner;
extern char *bannerOkForVersion;
extern int bannerOkAlways;
extern int nntpEnabled;
extern int nntpPort;
extern int otherComputers;
extern char *adminLogin;
extern char *adminPass;
extern char *userLogin;
extern char *userPass;
extern int webEnabled;
extern int webPort;
extern int webHtm;
extern int webUrl;
extern int telnetHtm;
extern int telnetUrl;
extern int newsHtm;
extern int newsUrl;
extern int maxNntp;
extern int maxWeb;
extern int nntpQueueRequests;
extern int webQueueRequests;
extern tIniStringArray allowedIP;
extern tIniStringArray allowedHostName;
extern int hostNameRequired;

// Section async
extern tIniStringArray binaryFilter;
extern char *executeCmd;
extern int executeYes;
extern int lineTrigger;
extern int reportAsDeleted;
extern int serverAvailable;
extern int simultaneous;
extern int zombieTasks;

// Section clients
extern tIniStringArray addPostedHeaderLeading;
extern tIniStringArray addPostedHeaderTrailing;
extern tIniStringArray addPostedBodyLeading;
extern tIniStringArray addPostedBodyTrailing;
extern int allowIHAVE;
extern int fakes;
extern int globalMsgIdRetrieval;
extern tIniStringArray junkPostedHeader;
extern int logPostedBodies;
extern int renumber;
extern int showOnlyActiveGroups;
extern int retrievedShow;
extern int provideXrefs;
extern int reformatDates;

// Section connect
extern int enforceForbiddenIPs;
extern tIniStringArray forbiddenIP;
extern int maxCategoryWait;
extern int maxTasks;
extern int priorityDirect;
extern int priorityAsync;
extern int priorityExplore;

// Section explore
extern int alwaysFilter;
extern int alwaysLIST;
extern int daysTooOld;
extern int deferredOnStartup;
extern int explore;
extern int minimal;
extern int noXGTITLE;
extern int numbersCollapseMaxRanges;
extern int numbersCollapseMinDistance;
extern int quitAfter;
extern int simultaneousMinimal;
extern int simultaneousNormal;
extern int skipEmptyGroups;
extern int useXrefs;
extern int xrefLogAddedArticle;
extern int xrefLogGroupNotActive;
extern int xrefLogHadArticle;

// Section general (timeStampLogs lives in lib/log.h)
extern int assumeInternetPresent;
extern int exitIfNoInternet;
extern int hiddenLog;
extern int mutexUnlockBeforeCondSignal;
extern int retrievedLog;
extern int retrievedMark;
extern int shortFileNames;
extern int storeDefaults;
extern int verbose;
extern int zombieDays;

// Section groups
extern tIniStringArray yes;
extern tIniStringArray noByName;
extern tIniStringArray noByPattern;

// Section startup
extern int applyHidden;
extern int applyRetrievd;
extern int compactAll;
extern int filterAll;
extern int hideIfBackground;
extern int ignoreAnother;
extern int lowerPriority;
extern int runInBackground;

// Section shutdown
extern int waitEnter;
extern int updateMergatorIni;
extern int deleteActual;
extern int deleteJournal;
extern int deleteLogsClients;
extern int deleteLogsCompact;
extern int deleteLogsIntruder;
extern int deleteLogsResults;
extern int deleteLogsSummary;
extern int deleteLogsUnusable;
extern int deleteLogsWeb;
extern int deleteExplore;
extern int deleteConnect;
extern int deleteLogs;

// Loads "etc/mergator.ini" with IniLoad, reporting to log (the journal). A
// missing file is created with the table's storeDefaults (1 at the first
// start, the last written value after a restart), so a fresh work directory
// gets every key. Returns 0, or -1 after the loader's message (the caller
// ends the run with exit code 54; the variables are then released).
[[nodiscard]] int SettingsLoad(tLog *log);

// The start-up port check: when nntpPort equals webPort, writes "NNTP server
// port and Web server port must be different.\n" to log and returns 52 (the
// exit code); otherwise returns 0.
[[nodiscard]] int SettingsCheckPorts(tLog *log);

// Writes the settings to "etc/mergator.ini" now (the key storeDefaults is
// copied into the table first). The file is replaced only once completely
// written. On failure writes "Could not save the etc/mergator.ini file.\n" to
// log and returns the INI error; else 0. Any thread; serialised.
int SettingsSave(tLog *log);

// End of a run: SettingsSave when updateMergatorIni is set, else nothing.
// Returns 0 or SettingsSave's error.
int SettingsWriteBack(tLog *log);

// Releases every owned text and list (IniRelease on the table). The
// variables keep their integer values; texts become null, lists empty.
void SettingsRelease();
