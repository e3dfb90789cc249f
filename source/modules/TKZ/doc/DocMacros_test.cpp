// The macro step engine: presets to the zone's node ports, delays through
// the schedule queue, child macros folding into their parent, steps that
// are skipped, nesting that is bounded, and macros started by rack inputs.
#include <algorithm>

#include "DocRackTestSupport.h"
#include "RackCommands.h"

namespace {

using Bytes = std::vector<uint8_t>;

class MacroTest : public DocRackTest {
 protected:
  // Runs macro `macro` as the immediate scheduled event 1.
  void StartEvent(int macro) {
    AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), macro);
    ASSERT_TRUE(Doc().LoadSchedule());
    Doc().RunDueEvents();
  }
  // Macro 1 runs child macro 2 at step 5 and goes on at step 6 while the
  // child waits on its delay; the child's last select may fail.
  void RunChildMacro(bool childFails) {
    AddRack(3, 2, 1);
    AddStep(1, 5, 2, "2");
    AddStep(1, 6, 0, "10003", "7");
    AddStep(2, 1, 0, "10003", "1");
    AddStep(2, 2, 4, "0:0:5");
    AddStep(2, 3, 0, "10003", "3");
    StartEvent(1);
    Serve();
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[0].bytes, (Bytes{1, 0, 1}));
    EXPECT_EQ(sent_[1].bytes, (Bytes{1, 0, 7}));
    EXPECT_EQ(sent_[1].target, 6);
    EXPECT_EQ(ScheduleRow(1), "3|Scheduled event 1 started|0");
    EXPECT_EQ(Doc().RequestCount(), 2u);  // the event and its waiting child

    if (childFails) failCodes_.push_back(RC_TIMEOUT);
    Tick(5);
    Serve();
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[2].bytes, (Bytes{1, 0, 3}));
    EXPECT_EQ(One("SELECT RequestState || '|' || RequestDiagnostic FROM tblSchedule WHERE ScheduleID = 1"),
              childFails ? "5|Timeout waiting for response from node" : "4|QXV preset 3 selected");
    EXPECT_EQ(CountLines("Scheduled event 1 "), 2);  // started, then its one end
    EXPECT_EQ(Doc().RequestCount(), 0u);
    EXPECT_EQ(unknownReturns_, 0);
  }
};

TEST_F(MacroTest, DelayHoldsTheRestOfTheMacroAndTheEventCompletesAfterTheLastSelect) {
  AddRack(3, 2, 1);
  AddStep(1, 1, 0, "10003", "5");
  AddStep(1, 2, 4, "0:0:10");
  AddStep(1, 3, 1, "10003", "0", "2");
  StartEvent(1);
  Serve();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].bytes, (Bytes{1, 0, 5}));
  EXPECT_EQ(sent_[0].rack, kRackBroadcast);
  EXPECT_EQ(sent_[0].nodeId, 2u);
  EXPECT_EQ(sent_[0].portSlot, 1);
  EXPECT_EQ(ScheduleRow(1), "3|Scheduled event 1 started|0");
  EXPECT_EQ(CountLines("Delaying macro 1 execution for 10 seconds at step 2"), 1);

  Tick(9);
  EXPECT_TRUE(posted_.empty());
  Tick();
  EXPECT_EQ(CountLines("Continuing execution of Macro 1 at step 2."), 1);
  Serve();
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1].bytes, (Bytes{34, 0, 0, 15, 2}));  // every room
  EXPECT_EQ(sent_[1].target, 3);
  EXPECT_EQ(ScheduleRow(1), "4|Brevant preset 2 selected in all rooms|3");
  EXPECT_EQ(Doc().RequestCount(), 0u);
  EXPECT_TRUE(Queue().empty());
}

TEST_F(MacroTest, ChildMacroRunsToItsDelayTheParentGoesOnAndBothCompleteTheEventOnce) { RunChildMacro(false); }

TEST_F(MacroTest, AFailureInAChildMacroBecomesTheEventsResult) { RunChildMacro(true); }

TEST_F(MacroTest, StepsWithMissingOrUnreadableParametersAreSkippedAndTheMacroGoesOn) {
  AddRack(3, 2, 1);
  AddStep(1, 1, 7, "1");                        // unknown action
  AddStep(1, 2, 4, "10");                       // delay not written h:m:s
  AddStep(1, 3, 0, "10003");                    // preset missing
  AddStep(1, 4, 4, "-1:0:0");                   // negative delay
  AddStep(1, 5, 4, "200:0:0");                  // longer than a week
  AddStep(1, 6, 2, "x");                        // child macro unreadable
  AddStep(1, 7, 0, "10003", "99999999999");     // preset beyond any integer
  AddStep(1, 8, 1, "10003", "1");               // Brevant preset missing
  AddStep(1, 9, 10, "1");                       // no operation
  AddStep(1, 10, 0, "10003", "4");
  StartEvent(1);
  EXPECT_TRUE(Queue().empty());
  Serve();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].bytes, (Bytes{1, 0, 4}));
  EXPECT_EQ(sent_[0].target, 10);
  EXPECT_EQ(CountLines("Unknown Macro action 7 ignored."), 1);
  EXPECT_EQ(CountLines("Error: Macro 1, step 4: delay \"-1:0:0\" out of range, step skipped."), 1);
  EXPECT_EQ(CountLines("Error: Macro 1, step 5: delay \"200:0:0\" out of range, step skipped."), 1);
  EXPECT_EQ(CountLines("Executing Macro 1, step "), 10);
  EXPECT_EQ(ScheduleRow(1), "4|QXV preset 4 selected|10");
}

// A delay of exactly a week is the longest a step may ask for; one second
// more is refused and the macro goes on with its next step.  Macro k runs
// as event k and selects preset 10 + k after its delay.
TEST_F(MacroTest, ADelayOfAWeekWaitsAndOneSecondMoreIsSkipped) {
  const struct {
    const char* delay;
    bool waits;
  } cases[] = {{"168:0:0", true}, {"0:0:604800", true}, {"168:0:1", false}, {"0:10080:1", false}};
  AddRack(3, 2, 1);
  for (int k = 1; k <= 4; ++k) {
    AddStep(k, 1, 4, cases[k - 1].delay);
    AddStep(k, 2, 0, "10003", std::to_string(10 + k));
    AddSchedule(k, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), k);
  }
  ASSERT_TRUE(Doc().LoadSchedule());
  Doc().RunDueEvents();
  Serve();
  // Due a week after 09:30:00, in seconds after today's midnight.
  const std::string due = "@" + std::to_string(9 * 3600 + 30 * 60 + 7 * 86400);
  int waiting = 0;
  for (const std::string& q : Queue()) waiting += q.rfind("3:", 0) == 0 && q.substr(q.find('@')) == due;
  EXPECT_EQ(waiting, 2);
  std::vector<Bytes> selects;
  for (const auto& sent : sent_) selects.push_back(sent.bytes);
  std::sort(selects.begin(), selects.end());
  EXPECT_EQ(selects, (std::vector<Bytes>{{1, 0, 13}, {1, 0, 14}}));
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE(cases[k - 1].delay);
    EXPECT_EQ(CountLines("Error: Macro " + std::to_string(k) + ", step 1: delay \"" + cases[k - 1].delay +
                         "\" out of range, step skipped."),
              cases[k - 1].waits ? 0 : 1);
  }
}

TEST_F(MacroTest, AMacroThatRunsItselfIsStoppedAtTheNestingLimitAndFails) {
  AddRack(3, 2, 1);
  AddStep(1, 1, 0, "10003", "1");
  AddStep(1, 2, 2, "1");
  StartEvent(1);
  Serve();
  EXPECT_EQ(sent_.size(), 16u);  // one select per nested run
  EXPECT_EQ(CountLines("Error: Macro 1, step 2: macros nested deeper than 16, macro 1 not run."), 1);
  EXPECT_EQ(ScheduleRow(1), "5|Macro 1 step 2: macros nested too deeply|2");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(MacroTest, PresetsGoOnceToEachNodePortThatServesTheZone) {
  AddRack(3, 2, 1, 8, 0, 500);
  AddRack(5, 2, 1, 8, 0, 500);
  AddRack(6, 4, 1, 8, 0, 500);
  AddRack(7, -1, 0, 8, 0, 500);  // reached by no node
  AddRack(8, 4, 2, 8, 0, 600);   // another zone
  AddStep(1, 1, 0, "500", "9");
  AddStep(1, 2, 1, "500", "3", "1");
  AddStep(1, 3, 0, "10007", "9");  // the unreachable rack alone
  AddStep(1, 4, 0, "700", "9");    // a zone without racks
  StartEvent(1);
  Serve();
  ASSERT_EQ(sent_.size(), 4u);
  std::vector<std::string> where;
  for (const auto& s : sent_) where.push_back(std::to_string(s.nodeId) + "/" + std::to_string(s.portSlot));
  EXPECT_EQ(where, (std::vector<std::string>{"2/1", "4/1", "2/1", "4/1"}));
  EXPECT_EQ(sent_[0].bytes, (Bytes{1, 0, 9}));
  EXPECT_EQ(sent_[2].bytes, (Bytes{34, 0, 2, 2, 1}));  // room 3 only
  EXPECT_EQ(ScheduleRow(1), "4|Brevant preset 1 selected in room 3|2");
}

TEST_F(MacroTest, DatabaseErrorsOfAMacroRunAreLoggedWithTheirLineAndTheEventStillEnds) {
  AddRack(3, 2, 1);
  AddStep(1, 1, 0, "10003", "5");
  AddStep(1, 2, 4, "0:0:1");
  AddStep(1, 3, 0, "10003", "6");
  StartEvent(1);
  Serve();
  // The rest of the macro cannot be read: what was sent decides.
  Sql("ALTER TABLE tblMacroStep RENAME TO tblMacroStepAway;");
  Tick();
  EXPECT_EQ(CountLines("doc.cpp#1633: Error "), 1);
  EXPECT_EQ(ScheduleRow(1), "4|Complete.|1");
  EXPECT_EQ(sent_.size(), 1u);
  EXPECT_EQ(Doc().RequestCount(), 0u);
  EXPECT_TRUE(Queue().empty());

  // Neither the event's start nor its end can be written: the row keeps
  // its state.
  Sql("ALTER TABLE tblMacroStepAway RENAME TO tblMacroStep;");
  AddSchedule(2, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 2);
  ASSERT_TRUE(Doc().LoadSchedule());
  Sql("DELETE FROM sysStoredQuery WHERE Name = 'TKZqryEvent';");
  Tick();
  EXPECT_EQ(CountLines("doc.cpp#970: Error 3265 : "), 2);
  EXPECT_EQ(ScheduleRow(2), "2||0");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(MacroTest, AMacroInputWhoseMacroCannotBeLookedUpOrQueuedStartsNothing) {
  AddRack(3, 2, 1);
  Sql("INSERT INTO tblMacroIO (ZoneID, AnalogIn, MacroID) VALUES (10003, 5, 9);");
  const struct Case {
    const char* table;  // away while the macro starts
    const char* line;
  } cases[] = {
      {"tblMacroIO", "doc.cpp#1368: Error "},
      {"tblSchedule", "doc.cpp#1409: Error "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Sql(std::string("ALTER TABLE ") + c.table + " RENAME TO away;");
    EXPECT_FALSE(Doc().StartInputMacro(3, 5));
    Sql(std::string("ALTER TABLE away RENAME TO ") + c.table + ";");
    EXPECT_EQ(CountLines(c.line), 1);
    EXPECT_TRUE(Queue().empty());
  }
  EXPECT_EQ(One("SELECT count(*) FROM tblSchedule"), "0");
}

// Zone 500's cleaner patch: input 0 on rack 3's analog outputs 1 (on) and 2
// (off), input 1 on no rack, input 2 on rack 3's outputs 3 and 0.  Rack 3
// has 8 digital dimmers, so analog output n is output 8 + n.
class CleanerMacroTest : public MacroTest {
 protected:
  void SetUp() override {
    MacroTest::SetUp();
    AddRack(3, 2, 1, 8, 4);
    models_.emplace(3, sim::RackModel({3, 0, 8, 0, 4}));
    Sql("INSERT INTO tblCleanerIO (ZoneID, AnalogIn, AnalogInName, RackZoneID, AnalogOutOn, AnalogOutOff) VALUES"
        " (500, 0, 'Hall', 10003, 1, 2), (500, 1, 'Stage', 0, 1, 2), (500, 2, 'Foyer', 10003, 3, 0);");
  }
  // The outputs pulsed, in order: each goes to full level, then back to
  // zero.
  std::vector<int> Pulsed() const {
    std::vector<int> up, down;
    for (const RackCommandSent& s : sent_) {
      EXPECT_EQ(s.Command(), DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
      EXPECT_EQ(s.bytes.size(), 6u);
      if (s.bytes.size() != 6) continue;
      EXPECT_EQ(s.bytes[2], s.bytes[3]);  // one output
      (s.bytes[5] == 255 ? up : down).push_back(s.bytes[2]);
    }
    EXPECT_EQ(down, up);
    return up;
  }
};

TEST_F(CleanerMacroTest, CleanerStepsPulseThePatchedOutputsOnOrOff) {
  const struct Case {
    int action;
    const char* zone;
    const char* input;
    std::vector<int> outputs;
    const char* row;
  } cases[] = {
      {5, "500", "0", {9}, "4|Cleaner light switch 1 turned on in zone 500|1"},
      {6, "500", "0", {10}, "4|Cleaner light switch 1 turned off in zone 500|1"},
      {5, "500", "-1", {9, 11}, "4|All cleaner light switches turned on in zone 500|1"},
      {6, "500", "-1", {10, 8}, "4|All cleaner light switches turned off in zone 500|1"},
      {5, "500", "1", {}, "5|No control output specified, check the cleaner patch for zone 500|0"},
      {6, "600", "0", {}, "5|No control output specified, check the cleaner patch for zone 600|0"},
      {5, "500", "", {}, "4|Complete.|0"},  // the input missing: the step is skipped
  };
  int id = 0;
  for (const Case& c : cases) {
    ++id;
    SCOPED_TRACE(id);
    sent_.clear();
    AddStep(id, 1, c.action, c.zone, c.input);
    AddSchedule(id, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), id);
    ASSERT_TRUE(Doc().LoadSchedule());
    Doc().RunDueEvents();
    Serve();
    EXPECT_EQ(Pulsed(), c.outputs);
    EXPECT_EQ(ScheduleRow(id), c.row);
  }
  EXPECT_EQ(Model(3).rejects(), 0u) << Model(3).last_reject();
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(CleanerMacroTest, ACleanerStepAfterAFailedStepKeepsTheFirstFailure) {
  // Step 1's select times out; after a delay, step 3 switches the lights of
  // a patched input, or of one that names no rack.
  const struct Case {
    const char* input;
    std::vector<int> outputs;
  } cases[] = {{"0", {9}}, {"1", {}}};
  int id = 0;
  for (const Case& c : cases) {
    ++id;
    SCOPED_TRACE(c.input);
    sent_.clear();
    AddStep(id, 1, 0, "10003", "5");
    AddStep(id, 2, 4, "0:0:1");
    AddStep(id, 3, 5, "500", c.input);
    AddSchedule(id, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), id);
    ASSERT_TRUE(Doc().LoadSchedule());
    failCodes_.push_back(RC_TIMEOUT);
    Doc().RunDueEvents();
    Serve();
    Tick();
    Serve();
    sent_.erase(sent_.begin());  // the select
    EXPECT_EQ(Pulsed(), c.outputs);
    EXPECT_EQ(ScheduleRow(id), "5|Timeout waiting for response from node|1");
  }
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(CleanerMacroTest, AFailureBeforeADelayKeepsItsOwnTextWhenTheMacroGoesOn) {
  // Step 1 switches an input that names no rack; the macro then waits and
  // selects a preset that succeeds.
  AddStep(1, 1, 5, "500", "1");
  AddStep(1, 2, 4, "0:0:1");
  AddStep(1, 3, 0, "10003", "5");
  AddSchedule(1, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), 1);
  ASSERT_TRUE(Doc().LoadSchedule());
  Doc().RunDueEvents();
  Tick();
  Serve();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(ScheduleRow(1), "5|No control output specified, check the cleaner patch for zone 500|0");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(MacroTest, AClosedMacroInputQueuesAnImmediateRemoteMacroThatRunsAtTheNextSecond) {
  AddRack(3, 2, 1);
  Sql("INSERT INTO tblMacroIO (ZoneID, AnalogIn, MacroID) VALUES (10003, 5, 9), (10003, 6, 0);");
  AddStep(9, 1, 0, "10003", "2");

  EXPECT_TRUE(Doc().StartInputMacro(3, 5));
  char today[32];
  std::snprintf(today, sizeof today, "%.6f", std::stod(Ole(2026, 3, 14)));
  EXPECT_EQ(One("SELECT RequestState || '|' || MacroID || '|' || Step || '|' || EventID || '|' || "
                "printf('%.6f', EventTime) || '|' || printf('%.6f', ScheduleDate) FROM tblSchedule"),
            std::string("2|9|0|-1|0.395833|") + today);
  ASSERT_EQ(Queue().size(), 1u);
  Tick();
  Serve();
  const std::string id = One("SELECT ScheduleID FROM tblSchedule");
  EXPECT_EQ(ScheduleRow(std::stoi(id)), "4|Remote Macro: QXV preset 2 selected|1");
  EXPECT_EQ(CountLines("Remote macro call succeeded, \"Remote Macro: QXV preset 2 selected\""), 1);

  // Inputs without a macro start nothing.
  EXPECT_FALSE(Doc().StartInputMacro(3, 7));
  EXPECT_EQ(CountLines("Ignoring change on input #8, rack 3, no macro assigned."), 1);
  EXPECT_FALSE(Doc().StartInputMacro(3, 6));  // macro 0
  EXPECT_FALSE(Doc().StartInputMacro(0, 5));
  EXPECT_FALSE(Doc().StartInputMacro(3, 40));
  EXPECT_EQ(One("SELECT count(*) FROM tblSchedule"), "1");
}

}  // namespace
