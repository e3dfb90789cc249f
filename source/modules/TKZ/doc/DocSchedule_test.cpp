// The schedule queue: which rows a load queues, writes or leaves, the order
// of the queue, due events across midnight, cancellation of waiting macros,
// the flush, and the report.
#include "DocRackTestSupport.h"
#include "RefusedWrites.h"

namespace {

using Strings = std::vector<std::string>;

// The fixture's clock: Saturday 14 March 2026, 09:30:00.
class ScheduleTest : public DocRackTest {};

TEST_F(ScheduleTest, LoadQueuesTodayAndTomorrowWritesStaleAndBadRowsAndLeavesLaterOnes) {
  struct Row {
    int id;
    int state;
    std::string date, time;
  };
  const std::vector<Row> rows = {
      {1, 0, Ole(2026, 3, 13), TimeOfDay(10, 0)},   // yesterday: stale
      {2, 0, Ole(2026, 3, 16), TimeOfDay(10, 0)},   // the day after tomorrow: left for later
      {3, 0, Ole(2026, 3, 14), TimeOfDay(11, 0)},   // today
      {4, 0, Ole(2026, 3, 15), TimeOfDay(1, 0)},    // tomorrow at 01:00
      {5, 2, Ole(2026, 3, 14), TimeOfDay(12, 0)},   // immediate
      {6, 2, Ole(2026, 3, 14), TimeOfDay(13, 0)},   // immediate, loaded later
      {7, 3, Ole(2026, 3, 14), TimeOfDay(8, 0)},    // in process, but nothing runs it
      {8, 0, Ole(2025, 3, 14), TimeOfDay(10, 0)},   // today's day of another year: stale
      {9, 0, "1e12", TimeOfDay(10, 0)},             // no calendar date
      {10, 0, Ole(2026, 3, 14), "-1e12"},           // no time of day
      {11, 4, Ole(2026, 3, 14), TimeOfDay(10, 0)},  // finished: not read
      {12, 0, Ole(2026, 3, 14), TimeOfDay(9, 0)},   // today, already due
  };
  for (const Row& r : rows) AddSchedule(r.id, r.state, r.date, r.time, 1);

  ASSERT_TRUE(Doc().LoadSchedule());

  EXPECT_EQ(Queue(), (Strings{"2:6@46800", "2:5@43200", "0:12@32400", "0:3@39600", "0:4@90000"}));
  EXPECT_EQ(ScheduleRow(1), "5|Ignored, stale date|0");
  EXPECT_EQ(ScheduleRow(2), "0||0");
  EXPECT_EQ(ScheduleRow(7), "5|Failed (not found in TKZ table).|0");
  EXPECT_EQ(ScheduleRow(8), "5|Ignored, stale date|0");
  EXPECT_EQ(ScheduleRow(9), "5|Ignored, invalid date or time|0");
  EXPECT_EQ(ScheduleRow(10), "5|Ignored, invalid date or time|0");
  EXPECT_EQ(ScheduleRow(11), "4||0");
  EXPECT_EQ(One("SELECT ActionedDay FROM tblSchedule WHERE ScheduleID = 1"), "14");
  EXPECT_TRUE(LoggedLine("Loaded 4 events scheduled for today, 1 for tomorrow.\n"));
  EXPECT_TRUE(LoggedLine("Cancelled 0 running events, 0 are in process.\n"));

  // A reload gives the same queue.
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), (Strings{"2:6@46800", "2:5@43200", "0:12@32400", "0:3@39600", "0:4@90000"}));
}

TEST_F(ScheduleTest, AScheduleIdOutsideTheI32RangeNeverReachesAnotherRow) {
  // A database of an older schema, without the ScheduleID range.
  Sql("CREATE TABLE oldSchedule (ScheduleID INTEGER PRIMARY KEY, RequestState INTEGER NOT NULL DEFAULT 0,"
      " EventTime REAL, MacroID INTEGER, ActionedTimestamp REAL, ActionedDay INTEGER, Step INTEGER,"
      " RequestDiagnostic TEXT, EventID INTEGER, ScheduleDate REAL) STRICT;"
      "DROP TABLE tblSchedule; ALTER TABLE oldSchedule RENAME TO tblSchedule;");
  AddSchedule(2147483647, 4, Ole(2026, 3, 14), TimeOfDay(11, 0), 1);
  Sql("UPDATE tblSchedule SET RequestDiagnostic = 'theirs';");
  Sql("INSERT INTO tblSchedule (ScheduleID, RequestState, EventTime, MacroID, ScheduleDate) VALUES"
      " (4294967297, 2, " + TimeOfDay(11, 0) + ", 1, " + Ole(2026, 3, 14) + "), (-4, 0, " + TimeOfDay(11, 0) +
      ", 1, " + Ole(2026, 3, 14) + ");");
  ASSERT_TRUE(Doc().LoadSchedule());
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), Strings{});
  EXPECT_EQ(Rows("SELECT ScheduleID || '|' || RequestState || '|' || RequestDiagnostic FROM tblSchedule"
                 " ORDER BY ScheduleID"),
            (Strings{"-4|5|Ignored, ScheduleID outside 1 to 2147483647", "2147483647|4|theirs",
                     "4294967297|5|Ignored, ScheduleID outside 1 to 2147483647"}));
  EXPECT_EQ(CountLines("Error: Schedule row with ScheduleID 4294967297 ignored"), 1);
}

TEST_F(ScheduleTest, ImmediatesRunFirstInReverseLoadOrderThenDueEventsAndEachRowEndsSucceeded) {
  AddSchedule(1, 0, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  AddSchedule(2, 2, Ole(2026, 3, 14), TimeOfDay(12, 0), 1);
  AddSchedule(3, 2, Ole(2026, 3, 14), TimeOfDay(12, 0), 1);
  AddSchedule(4, 0, Ole(2026, 3, 14), TimeOfDay(9, 45), 1);
  ASSERT_TRUE(Doc().LoadSchedule());

  Tick();
  EXPECT_EQ(CountLines("Executing immediate event, ScheduleID = 3."), 1);
  const std::string log = Logged();
  EXPECT_LT(log.find("ScheduleID = 3."), log.find("ScheduleID = 2."));
  EXPECT_LT(log.find("ScheduleID = 2."), log.find("Executing pending event, ScheduleID = 1."));
  EXPECT_EQ(Queue(), (Strings{"0:4@35100"}));
  for (int id : {1, 2, 3}) EXPECT_EQ(ScheduleRow(id), "4|Complete.|0") << id;
  EXPECT_EQ(CountLines("Scheduled event 3 started, \"Scheduled event 3 started\""), 1);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

class ScheduleRefusedTest : public ScheduleTest {
 protected:
  RefusedWrites refused_;  // made before SetUp opens the database
};

TEST_F(ScheduleRefusedTest, AnEventWhoseRowRefusesItsResultIsNotRunAgainAndItsRowEndsLater) {
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(12, 0), 1);
  AddSchedule(2, 3, Ole(2026, 3, 14), TimeOfDay(8, 0), 1);  // an earlier run's
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(ScheduleRow(2), "5|Failed (not found in TKZ table).|0");
  ASSERT_TRUE(refused_.Begin(kWriteRefusals[1]));
  Tick();
  EXPECT_EQ(Doc().RequestCount(), 0u) << "the event has ended";
  EXPECT_EQ(ScheduleRow(1), "2||0");
  ASSERT_TRUE(Doc().LoadSchedule());  // a reload meanwhile does not start it again
  EXPECT_EQ(Queue(), Strings{});
  refused_.End();
  EXPECT_TRUE(Doc().RetryKeptWrites());
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|0");
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), Strings{});
}

TEST_F(ScheduleTest, EventOfTomorrowRunsAfterMidnightWhenTheDayChangeRealignsTheQueue) {
  clock_.SetLocal(2026, 3, 14, 23, 59, 50);
  AddSchedule(1, 0, Ole(2026, 3, 15), TimeOfDay(0, 0, 5), 1);
  AddSchedule(2, 0, Ole(2026, 3, 15), TimeOfDay(1, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), (Strings{"0:1@86405", "0:2@90000"}));

  Tick(9);  // 23:59:59
  EXPECT_EQ(ScheduleRow(1), "0||0");
  Tick(5);  // 00:00:04 of the 15th
  EXPECT_EQ(Queue(), (Strings{"0:1@5", "0:2@3600"}));
  EXPECT_EQ(ScheduleRow(1), "0||0");
  Tick();
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|0");
  EXPECT_EQ(Queue(), (Strings{"0:2@3600"}));
  clock_.SetLocal(2026, 3, 15, 0, 59, 59);
  Doc().RunDueEvents();
  EXPECT_EQ(ScheduleRow(2), "0||0");
  Tick();
  EXPECT_EQ(ScheduleRow(2), "4|Complete.|0");
}

TEST_F(ScheduleTest, WhatFellDueJustBeforeALateMidnightTickRunsAtOnceNotADayLater) {
  // The last tick of the 14th comes at 23:59:57; the next one only at
  // 00:00:02 of the 15th.  The event of 23:59:59 and the macro whose delay
  // ended at 23:59:58 were due on the old day and run at that tick.
  clock_.SetLocal(2026, 3, 14, 23, 59, 50);
  AddStep(1, 1, 4, "0:0:8");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  AddSchedule(2, 0, Ole(2026, 3, 14), TimeOfDay(23, 59, 59), 2);
  AddSchedule(3, 0, Ole(2026, 3, 15), TimeOfDay(0, 0, 30), 2);
  ASSERT_TRUE(Doc().LoadSchedule());
  Doc().RunDueEvents();
  ASSERT_EQ(Queue(), (Strings{"3:1@86398", "0:2@86399", "0:3@86430"}));

  Tick(7);  // 23:59:57
  EXPECT_EQ(ScheduleRow(2), "0||0");
  Tick(5);  // 00:00:02 of the 15th
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|0");
  EXPECT_EQ(ScheduleRow(2), "4|Complete.|0");
  EXPECT_EQ(Queue(), (Strings{"0:3@30"}));
  Tick(28);
  EXPECT_EQ(ScheduleRow(3), "4|Complete.|0");
}

TEST_F(ScheduleTest, LoadOnANewDayAfterAnIdleMidnightDoesNotBringTomorrowForward) {
  // The queue stays empty over midnight; the next day's load queues an
  // event of the day after.  It must wait a whole day.
  ASSERT_TRUE(Queue().empty());
  clock_.SetLocal(2026, 3, 15, 10, 0, 0);
  AddSchedule(1, 0, Ole(2026, 3, 16), TimeOfDay(1, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Tick();
  EXPECT_EQ(Queue(), (Strings{"0:1@90000"}));
  EXPECT_EQ(ScheduleRow(1), "0||0");

  clock_.SetLocal(2026, 3, 16, 0, 59, 59);
  Doc().RunDueEvents();
  EXPECT_EQ(ScheduleRow(1), "0||0");
  Tick();
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|0");
}

TEST_F(ScheduleTest, CancellingAWaitingEventEndsItsRequestOnceAsCancelledByUser) {
  AddStep(1, 1, 4, "0:10:0");
  AddStep(1, 2, 10, "1");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Tick();
  EXPECT_EQ(ScheduleRow(1), "3|Scheduled event 1 started|0");
  ASSERT_EQ(Queue(), (Strings{"3:1@34801"}));
  // A refresh keeps the waiting macro (its row reads 3).
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), (Strings{"3:1@34801"}));
  EXPECT_TRUE(LoggedLine("Cancelled 0 running events, 1 are in process.\n"));

  Sql("UPDATE tblSchedule SET RequestState = 6 WHERE ScheduleID = 1;");
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_TRUE(Queue().empty());
  EXPECT_EQ(ScheduleRow(1), "6|Cancelled by user|0");
  EXPECT_EQ(CountLines("Cancelling event 1 at macro 1, step 1."), 1);
  EXPECT_TRUE(LoggedLine("Cancelled 1 running events, 0 are in process.\n"));
  EXPECT_EQ(Doc().RequestCount(), 0u);
  // The row stays cancelled: a later load does nothing with it.
  ASSERT_TRUE(Doc().LoadSchedule());
  Tick(700);
  EXPECT_EQ(ScheduleRow(1), "6|Cancelled by user|0");
}

TEST_F(ScheduleTest, ScheduleRowsNeverMatchAMacroRequestThatShareItsNumber) {
  // A macro of request type 3 with RID 7 waits on a delay; schedule row 7
  // is another thing altogether.
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, ZoneID) VALUES (7, 3, 3, 1);");
  AddStep(1, 1, 4, "0:0:30");
  InProcRequest* request = Doc().AddRequest();
  request->RID = 7;
  request->RequestType = 3;
  request->MacroID = 1;
  request->parent = request;
  request->flags = REQ_FLAG_MACRO | REQ_FLAG_MACRO_REQUEST;
  Doc().RunMacroSteps(request);
  Doc().RequestSent(request);
  ASSERT_EQ(Queue(), (Strings{"3:7@34230"}));

  AddSchedule(7, 6, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), (Strings{"3:7@34230"}));
  EXPECT_EQ(ScheduleRow(7), "6||0");
  EXPECT_EQ(Doc().RequestCount(), 1u);
  // Nor does the macro make an in-process row of that number look alive.
  Sql("UPDATE tblSchedule SET RequestState = 3 WHERE ScheduleID = 7;");
  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(ScheduleRow(7), "5|Failed (not found in TKZ table).|0");
  EXPECT_EQ(Queue(), (Strings{"3:7@34230"}));

  Tick(30);
  EXPECT_EQ(One("SELECT RequestState || '|' || RequestDiagnostic FROM tblTKZRequest WHERE RID = 7"), "4|Complete.");
}

TEST_F(ScheduleTest, ARefreshWhileAnEventAwaitsItsRacksDoesNotFailItsRow) {
  AddRack(3, 2, 1);
  AddStep(1, 1, 0, "10003", "5");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Tick();
  ASSERT_EQ(posted_.size(), 1u);  // the preset select is out
  EXPECT_EQ(ScheduleRow(1), "3|Scheduled event 1 started|0");

  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(ScheduleRow(1), "3|Scheduled event 1 started|0");

  Serve();
  EXPECT_EQ(ScheduleRow(1), "4|QXV preset 5 selected|1");
}

TEST_F(ScheduleTest, AnEventWhoseStartCouldNotBeWrittenIsNotStartedAgainByARefresh) {
  AddStep(1, 1, 4, "0:0:10");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Sql("DELETE FROM sysStoredQuery WHERE Name = 'TKZqryEvent';");
  Tick();  // the event starts; its row cannot be written
  EXPECT_EQ(ScheduleRow(1), "2||0");
  EXPECT_EQ(CountLines("doc.cpp#970: Error "), 1);

  ASSERT_TRUE(Doc().LoadSchedule());
  EXPECT_EQ(Queue(), (Strings{"3:1@34211"}));  // only its waiting macro
  Tick();
  EXPECT_EQ(CountLines("Executing immediate event, ScheduleID = 1."), 1);
  EXPECT_EQ(Doc().RequestCount(), 1u);
}

TEST_F(ScheduleTest, FlushCancelsWaitingMacrosAsShutdownAndDropsEvents) {
  AddStep(1, 1, 4, "1:0:0");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  AddSchedule(2, 0, Ole(2026, 3, 14), TimeOfDay(18, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Tick();
  ASSERT_EQ(Queue().size(), 2u);

  Doc().FlushSchedule();
  EXPECT_TRUE(Queue().empty());
  EXPECT_EQ(ScheduleRow(1), "6|Cancelled by TKZ shutdown|0");
  EXPECT_EQ(ScheduleRow(2), "0||0");
  EXPECT_EQ(Doc().RequestCount(), 0u);
  EXPECT_EQ(CountLines("Cancelling event 1 at macro 1, step 1."), 1);
}

TEST_F(ScheduleTest, OneTickRunsOnlyWhatWasQueuedWhenItBegan) {
  // Delays of zero queue their macro again at once; each tick takes one.
  AddStep(1, 1, 4, "0:0:0");
  AddStep(1, 2, 4, "0:0:0");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Doc().RunDueEvents();
  EXPECT_EQ(Queue(), (Strings{"3:1@34200"}));
  Doc().RunDueEvents();
  EXPECT_EQ(Queue(), (Strings{"3:1@34200"}));
  Doc().RunDueEvents();
  EXPECT_TRUE(Queue().empty());
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|0");
}

TEST_F(ScheduleTest, ReportShowsTomorrowsHoursPastMidnightAndTheStepOfAWaitingMacro) {
  clock_.SetLocal(2026, 3, 14, 23, 0, 0);
  AddStep(1, 3, 4, "2:0:0");
  AddSchedule(1, 0, Ole(2026, 3, 15), TimeOfDay(0, 30), 1);
  AddSchedule(2, 0, Ole(2026, 3, 15), TimeOfDay(1, 30), 1);
  AddSchedule(3, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Doc().RunDueEvents();  // event 3 runs to its delay
  Doc().ReportSchedule();
  EXPECT_TRUE(LoggedLine("\nState         Time    From now  ID     Macro  Last Step\n"
                         "Pending     24:30:00   1:30:00  1      1      0     \n"
                         "In progress  1:00:00   2:00:00  3      1      3     \n"
                         "Pending      1:30:00   2:30:00  2      1      0     \n"
                         "\n"))
      << Logged();
}

TEST_F(ScheduleTest, ALoadBrokenByTheDatabaseFailsAndKeepsWhatWasRead) {
  AddSchedule(1, 0, Ole(2026, 3, 14), TimeOfDay(11, 0), 1);
  Sql("DELETE FROM sysStoredQuery WHERE Name = 'TKZqrySchedule';");
  EXPECT_FALSE(Doc().LoadSchedule());
  EXPECT_EQ(CountLines("doc:LoadSchedule: Error 3265 : "), 1);
  EXPECT_TRUE(LoggedLine("Loaded 0 events scheduled for today, 0 for tomorrow.\n"));
}

}  // namespace
