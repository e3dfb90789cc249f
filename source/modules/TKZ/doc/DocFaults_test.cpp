// Fault records: the life of a tblFaultStatus row through raises and
// subsides, the skipped records, descriptions from the fault types' formats,
// a record the database refuses in the middle of a call, and the deletion of a rack's
// faults when it resynchronises.
#include <array>
#include <cstdio>

#include "DocTestSupport.h"
#include "FaultFormat.h"

namespace {

FaultRecord Raise(int16_t type, int16_t rack, int16_t dimmer, double days, int32_t circuit = 0,
                  int16_t d1 = 0, int16_t d2 = 0) {
  FaultRecord r;
  r.FaultType = type;
  r.RackNumber = rack;
  r.DimmerNumber = dimmer;
  r.CircuitNumber = circuit;
  r.AriseTimestamp = {days, 0};
  r.Diag1 = d1;
  r.Diag2 = d2;
  r.args[0] = FaultArg::Number(d1);
  r.args[1] = FaultArg::Number(d2);
  return r;
}
FaultRecord Subside(int16_t type, int16_t rack, int16_t dimmer, double days) {
  FaultRecord r;
  r.FaultType = type;
  r.RackNumber = rack;
  r.DimmerNumber = dimmer;
  r.SubsideTimestamp = {days, 0};
  return r;
}

class DocFaultsTest : public DocSiteTest {
 protected:
  CTKZDoc& Open() {
    CTKZDoc& doc = OpenDoc();
    Sql("INSERT INTO tblFaultType VALUES (3, 'Control', 'Control error %d/%d', 1),"
        " (2, 'Overheat', 'Overheat %d', 1), (5, 'SRP', 'SRP %d', 1),"
        " (1000, 'Rack down', 'Rack %d is not responding', 2),"
        " (1001, 'Node down', 'Node %s is off line', 2);");
    return doc;
  }
  // FaultType|RackNumber|DimmerNumber|CircuitNumber|Arise|Subside|Diag1|Diag2|Description
  std::vector<std::string> Faults() {
    return Rows("SELECT FaultType, RackNumber, DimmerNumber, CircuitNumber, AriseTimestamp,"
                " SubsideTimestamp, Diag1, Diag2, Description FROM tblFaultStatus"
                " ORDER BY RackNumber, FaultType, DimmerNumber");
  }
};

TEST_F(DocFaultsTest, ARaiseAddsOneRowPerTypeRackAndDimmerAndRefreshesIt) {
  CTKZDoc& doc = Open();
  const FaultRecord first[] = {Raise(3, 2, 7, 100.5, 11, 1, 2), Raise(3, 2, 8, 100.5, 12, 5, 6)};
  doc.WriteFaultRecords(first, 2);
  EXPECT_EQ(CountLines("Adding new fault record type 3, rack 2."), 2);
  const std::string id = One("SELECT FaultID FROM tblFaultStatus WHERE DimmerNumber = 7");

  const FaultRecord again = Raise(3, 2, 7, 101.25, 13, 3, 4);
  doc.WriteFaultRecords(&again, 1);
  EXPECT_EQ(CountLines("Updating fault record type 3, rack 2."), 1);
  EXPECT_EQ(One("SELECT FaultID FROM tblFaultStatus WHERE DimmerNumber = 7"), id);
  EXPECT_EQ(Faults(), (std::vector<std::string>{"3|2|7|13|101.25|NULL|3|4|Control error 3/4",
                                                 "3|2|8|12|100.5|NULL|5|6|Control error 5/6"}));
}

TEST_F(DocFaultsTest, ASubsideClosesTheOpenRowOnceAndARaiseReopensIt) {
  CTKZDoc& doc = Open();
  const FaultRecord calls[][1] = {{Raise(2, 4, 1, 200.0)},
                                  {Subside(2, 4, 1, 200.5)},
                                  {Subside(2, 4, 1, 201.0)},
                                  {Subside(2, 4, 9, 201.0)}};
  for (const auto& c : calls) doc.WriteFaultRecords(c, 1);
  EXPECT_EQ(CountLines("Fault type 2 rack 4 subsided."), 1);
  EXPECT_EQ(CountLines("Ignoring subsiding fault type 2, rack 4, fault already subsided."), 1);
  EXPECT_EQ(CountLines("Ignoring subsiding fault type 2, rack 4, no record of fault found."), 1);
  EXPECT_EQ(Faults(), (std::vector<std::string>{"2|4|1|0|200.0|200.5|0|0|Overheat 0"}));

  const std::string id = One("SELECT FaultID FROM tblFaultStatus");
  const FaultRecord reopen = Raise(2, 4, 1, 202.0, 0, 9);
  doc.WriteFaultRecords(&reopen, 1);
  EXPECT_EQ(Faults(), (std::vector<std::string>{"2|4|1|0|202.0|NULL|9|0|Overheat 9"}));
  EXPECT_EQ(One("SELECT FaultID FROM tblFaultStatus"), id);
}

TEST_F(DocFaultsTest, SkippedRecordsWriteNothingAndAnUnknownTypeIsAlwaysLogged) {
  CTKZDoc& doc = Open();
  g_bDocDebug = false;
  const FaultRecord call[] = {Raise(3, 2, 7, 300.0), Raise(99, 2, 7, 300.0), Subside(3, 2, 7, 300.5)};
  doc.WriteFaultRecords(call, 3);
  EXPECT_EQ(Faults(), (std::vector<std::string>{"3|2|7|0|300.0|300.5|0|0|Control error 0/0"}));
  EXPECT_EQ(CountLines("Ignoring unknown fault type 99, rack 2"), 1);
  EXPECT_EQ(CountLines("Adding new"), 0);

  g_bDocDebug = true;
  const FaultRecord labels[] = {Raise(1000, 256, 0, 1.0), Raise(1001, 1005, 0, 1.0),
                                Raise(FAULT_TYPE_IGNORE, 1005, 0, 1.0), Raise(FAULT_TYPE_IGNORE, 12, 0, 1.0)};
  doc.WriteFaultRecords(labels, 4);
  EXPECT_EQ(CountLines("Adding new fault record type 1000, rack 256."), 1);
  EXPECT_EQ(CountLines("Adding new fault record type 1001, node 5."), 1);
  EXPECT_EQ(CountLines("Ignoring fault report from node 5."), 1);
  EXPECT_EQ(CountLines("Ignoring fault report from rack 12."), 1);
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM tblFaultStatus"), std::vector<std::string>{"3"});
}

TEST_F(DocFaultsTest, ARecordTheDatabaseRefusesForGoodIsDroppedAndTheOthersAreWritten) {
  CTKZDoc& doc = Open();
  Sql("CREATE TRIGGER refuse5 BEFORE INSERT ON tblFaultStatus WHEN NEW.RackNumber = 5"
      " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  const FaultRecord call[] = {Raise(2, 4, 0, 1.0), Raise(2, 5, 0, 1.0), Raise(2, 6, 0, 1.0)};
  doc.WriteFaultRecords(call, 3);
  EXPECT_EQ(Rows("SELECT RackNumber FROM tblFaultStatus ORDER BY RackNumber"), (std::vector<std::string>{"4", "6"}));
  EXPECT_EQ(CountLines("doc.cpp#6310: Error "), 1);
  EXPECT_EQ(doc.KeptWriteCount(), 0u) << "a refused value is not tried again";
}

TEST_F(DocFaultsTest, DeletingARacksFaultsKeepsItsRackDownRowAndOtherRacks) {
  CTKZDoc& doc = Open();
  const FaultRecord call[] = {Raise(2, 7, 0, 1.0), Raise(5, 7, 3, 1.0), Raise(1000, 7, 0, 1.0),
                              Raise(2, 8, 0, 1.0), Raise(1001, 1007, 0, 1.0)};
  doc.WriteFaultRecords(call, 5);
  doc.DeleteRackFaults(7);
  EXPECT_EQ(Rows("SELECT FaultType || '@' || RackNumber FROM tblFaultStatus ORDER BY RackNumber, FaultType"),
            (std::vector<std::string>{"1000@7", "2@8", "1001@1007"}));
}

TEST(FaultDescription, FormatsReadNoMoreThanTheThreeArgumentsTheyAreGiven) {
  const std::array<FaultArg, 3> args = {FaultArg::Number(7), FaultArg::Text("North"), FaultArg{}};
  struct Case {
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"Rack %d on %s", "Rack 7 on North"},
      {"%s %d", "7 North"},                // each argument as the conversion asks
      {"%03d|%-6s|%5.2f", "007|North | 0.00"},
      {"%d %s %d %d %s", "7 North 0 0 "},  // beyond the three: nothing read
      {"%c%c", "?N"},
      {"100%% %n %p %*d %q", "100% %n %p %*d %q"},
      {"%ld/%hhd/%lls", "7/North/"},
      {"trailing %", "trailing %"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFaultDescription(c.format, args), c.expected) << c.format;
  // Widths and precisions are held to 64.
  EXPECT_EQ(FormatFaultDescription("%999999999d", args), std::string(63, ' ') + "7");
  EXPECT_EQ(FormatFaultDescription("%.99999s", args).size(), 1u);
}

}  // namespace
