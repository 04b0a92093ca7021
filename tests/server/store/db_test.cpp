#include "server/store/db.h"

#include "tests/support/paths.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *SCHEMA = "CREATE TABLE t (number INTEGER PRIMARY KEY, text TEXT);";

struct DbTest : ::testing::Test {
    tTempDir dir;
    tLog log{};
    void SetUp() override { ASSERT_EQ(LogOpen(&log, (dir / "log").c_str(), 1000000), E_OK); }
    void TearDown() override {
        LogClose(&log);
        dbRetrySleep = savedSleep;
    }
    std::string Log() { return ReadWholeFile(dir / "log"); }
    void (*savedSleep)(int) = dbRetrySleep;
};

TEST_F(DbTest, SchemaOnExistingFileIsHarmlessAndEmptyTablesReadZero) {
    std::string path = dir / "a.sq3";
    tDb db;
    ASSERT_EQ(DbOpen(&db, path.c_str(), &log, SCHEMA), E_OK);
    long v = -5;
    ASSERT_EQ(DbCount(&db, "t", &v), E_OK);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(DbSelectInt(&db, "t", "max(number)", &v), E_OK);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(DbExec(&db, "INSERT INTO t VALUES(7,'x'); INSERT INTO t VALUES(9,'y');"), E_OK);
    ASSERT_EQ(DbCommitClose(&db), E_OK);

    ASSERT_EQ(DbOpen(&db, path.c_str(), &log, SCHEMA), E_OK);  // table exists: tolerated
    ASSERT_EQ(DbSelectInt(&db, "t", "min(number)", &v), E_OK);
    EXPECT_EQ(v, 7);
    ASSERT_EQ(DbCount(&db, "t", &v), E_OK);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(DbSelectInt(&db, "t WHERE number > 100", "number", &v), E_TREE_NOT_FOUND);
    DbClose(&db);
    EXPECT_EQ(db.db, nullptr);
    EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
}

TEST_F(DbTest, FailuresAreLoggedInFixedWords) {
    tDb db;
    ASSERT_EQ(DbOpen(&db, (dir / "a.sq3").c_str(), &log, SCHEMA), E_OK);
    EXPECT_EQ(DbExec(&db, "INSERT INTO nowhere VALUES(1);"), E_SQL_FAILED);
    long v;
    EXPECT_EQ(DbSelectInt(&db, "nowhere", "count()", &v), E_SQL_FAILED);
    EXPECT_EQ(DbExecTolerant(&db, "INSERT INTO t VALUES(1,'a'); INSERT INTO t VALUES(1,'a');", "UNIQUE"), E_OK);
    DbClose(&db);
    std::string text = Log();
    EXPECT_NE(text.find("Execution of 'INSERT INTO nowhere VALUES(1);' in " + (dir / "a.sq3") +
                        " failed: no such table: nowhere\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Cannot prepare database query 'SELECT count() FROM nowhere;' on "), std::string::npos);
    EXPECT_EQ(text.find("UNIQUE"), std::string::npos);

    EXPECT_EQ(DbOpen(&db, (dir / "missing/dir/a.sq3").c_str(), &log, SCHEMA), E_SQL_FAILED);
    EXPECT_EQ(db.db, nullptr);
    EXPECT_NE(Log().find("Cannot open " + (dir / "missing/dir/a.sq3") + ": "), std::string::npos);
}

TEST_F(DbTest, CorruptFileIsRefusedNotCrashed) {
    std::string path = dir / "corrupt.sq3";
    std::mt19937 rng(42);
    std::string junk;
    for (int i = 0; i < 8192; i++) junk += (char)rng();
    ASSERT_TRUE(WriteWholeFile(path, junk));
    tDb db;
    tDiag diag = DbOpen(&db, path.c_str(), &log, SCHEMA);
    EXPECT_TRUE(diag == E_SQL_FAILED || diag == E_SQL_CORRUPTED) << DiagText(diag);
    EXPECT_EQ(db.db, nullptr);
    EXPECT_NE(Log().find("file is not a database"), std::string::npos) << Log();

    // Without a schema the open succeeds and the first read fails.
    ASSERT_EQ(DbOpen(&db, path.c_str(), &log, nullptr), E_OK);
    long v;
    diag = DbCount(&db, "t", &v);
    EXPECT_TRUE(diag == E_SQL_FAILED || diag == E_SQL_CORRUPTED) << DiagText(diag);
    DbClose(&db);
}

// A second connection reading inside its own transaction keeps the first one
// from committing.
struct tLockedPair {
    tDb writer, reader;
};

void OpenLockedPair(tLockedPair *p, const std::string &path, tLog *log) {
    ASSERT_EQ(DbOpen(&p->writer, path.c_str(), log, SCHEMA), E_OK);
    ASSERT_EQ(DbCommit(&p->writer), E_OK);
    ASSERT_EQ(DbExec(&p->writer, "BEGIN;"), E_OK);
    ASSERT_EQ(DbOpen(&p->reader, path.c_str(), log, nullptr), E_OK);
    long v;
    ASSERT_EQ(DbCount(&p->reader, "t", &v), E_OK);  // holds a shared lock until its transaction ends
    ASSERT_EQ(DbExec(&p->writer, "INSERT INTO t VALUES(1,'a');"), E_OK);
}

tDb *releaseAt3;
int attemptsSeen;
void CountAttempts(int failures) { attemptsSeen = failures; }
void ReleaseAtThird(int failures) {
    attemptsSeen = failures;
    if (failures == 3) {
        ASSERT_EQ(DbCommit(releaseAt3), E_OK);
    }
}

TEST_F(DbTest, CommitRetriesOnALockedDatabaseThenReports) {
    tLockedPair p;
    OpenLockedPair(&p, dir / "locked.sq3", &log);
    dbRetrySleep = CountAttempts;
    EXPECT_EQ(DbCommit(&p.writer), E_SQL_FAILED);
    EXPECT_EQ(attemptsSeen, 9);  // ten attempts, nine pauses
    size_t failures = 0;
    std::string text = Log();
    for (size_t at = 0; (at = text.find("Execution of 'COMMIT;'", at)) != std::string::npos; at++) failures++;
    EXPECT_EQ(failures, 10u);

    releaseAt3 = &p.reader;
    dbRetrySleep = ReleaseAtThird;
    EXPECT_EQ(DbCommit(&p.writer), E_OK);
    EXPECT_NE(Log().find("Commit succeeded after 3 failures.\n"), std::string::npos);
    DbClose(&p.reader);
    DbClose(&p.writer);

    tDb db;
    ASSERT_EQ(DbOpen(&db, (dir / "locked.sq3").c_str(), &log, nullptr), E_OK);
    long v;
    ASSERT_EQ(DbCount(&db, "t", &v), E_OK);
    EXPECT_EQ(v, 1);
    DbClose(&db);
}

TEST_F(DbTest, KilledWriterLeavesCommittedRows) {
    std::string path = dir / "killed.sq3";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        tDb db;
        if (DbOpen(&db, path.c_str(), nullptr, SCHEMA) != E_OK) _exit(1);
        char sql[64];
        for (int i = 1; i <= 100; i++) {
            snprintf(sql, sizeof sql, "INSERT INTO t VALUES(%d,'committed');", i);
            if (DbExec(&db, sql) != E_OK) _exit(2);
        }
        if (DbCheckpoint(&db) != E_OK) _exit(3);
        for (int i = 101; i <= 150; i++) {
            snprintf(sql, sizeof sql, "INSERT INTO t VALUES(%d,'pending');", i);
            if (DbExec(&db, sql) != E_OK) _exit(4);
        }
        if (DbExec(&db, "UPDATE t SET text='changed' WHERE number<=50;") != E_OK) _exit(5);
        (void)!write(ready[1], "x", 1);
        for (;;) pause();
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    tDb db;
    ASSERT_EQ(DbOpen(&db, path.c_str(), &log, SCHEMA), E_OK);
    long v;
    ASSERT_EQ(DbCount(&db, "t", &v), E_OK);
    EXPECT_EQ(v, 100);
    ASSERT_EQ(DbCount(&db, "t WHERE text='committed'", &v), E_OK);
    EXPECT_EQ(v, 100);
    ASSERT_EQ(DbCommitClose(&db), E_OK);
}

TEST_F(DbTest, DeleteWithOrWithoutJournal) {
    std::string path = dir / "d.sq3";
    for (bool withJournal : {false, true}) {
        ASSERT_TRUE(WriteWholeFile(path, "x"));
        ASSERT_TRUE(WriteWholeFile(path + "-journal", "j"));
        EXPECT_EQ(DbDelete(path.c_str(), withJournal), E_OK);
        EXPECT_NE(access(path.c_str(), F_OK), 0);
        EXPECT_EQ(access((path + "-journal").c_str(), F_OK) == 0, !withJournal);
    }
    EXPECT_EQ(DbDelete(path.c_str(), true), E_OK);  // nothing left: fine
}

}  // namespace
