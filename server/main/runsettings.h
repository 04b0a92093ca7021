// The global settings that the program entry and the run read.
//
// These are the defaults of "etc/mergator.ini". The run does not load that
// file yet (see the settings step of RunServer); when the settings module
// is wired in, its header replaces this one and these definitions go away.
//
// Threading: written by the main thread before any other thread starts.
#pragma once

namespace runsettings {

inline int nntpEnabled = 1;
inline int nntpPort = 119;
inline int webEnabled = 1;
inline int webPort = 8000;
inline int otherComputers = 0;
inline int telnetHtm = 1;
inline int telnetUrl = 1;
inline int newsHtm = 1;
inline int newsUrl = 1;
inline int webHtm = 1;
inline int webUrl = 1;
inline int explore = 1;
inline int minimal = 0;
inline int shortFileNames = 0;
inline int storeDefaults = 1;
inline int applyHidden = 0;
inline int applyRetrievd = 0;
inline int filterAll = 0;
inline int hideIfBackground = 1;
inline int ignoreAnother = 0;
inline int lowerPriority = 0;
inline int runInBackground = 0;
inline int waitEnter = 1;
inline int updateMergatorIni = 1;
inline int deleteActual = 0;
inline int deleteJournal = 0;
inline int deleteLogsClients = 0;
inline int deleteLogsCompact = 0;
inline int deleteLogsIntruder = 0;
inline int deleteLogsResults = 0;
inline int deleteLogsSummary = 0;
inline int deleteLogsUnusable = 0;
inline int deleteLogsWeb = 0;
inline int deleteExplore = 0;
inline int deleteConnect = 0;
inline int deleteLogs = 0;

}  // namespace runsettings

using namespace runsettings;
