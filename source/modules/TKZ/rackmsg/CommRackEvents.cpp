// Unsolicited rack events: a rack's poll response turned into fault records
// and zone input status; a poll the rack did not answer into a fault
// synchronisation.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "App.h"
#include "Comm.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "platform/time/clock.h"

namespace {

constexpr const char* kFaultNames[kRackFaultTypes] = {
    "High DC     ", "Old Overload", "Overheat    ", "Control Err ", "Old Load Err", "SRP Fault   ",
    "Type Change ", "SRP Dead    ", "Panic       ", "Enabled     ", "Mux Fail    ", "Phase Fail  ",
    "Fan Overtemp", "Tracking    ", "Unknown (14)", "Unknown (15)", "Unknown (16)", "Unknown (17)",
    "Phase Leak  ", "Load Error  ", "Overload    ", "Supply Ph Wn", "Supply Ph Er", "Supply Pwr W",
    "Supply Pwr E", "Comms Error ",
};

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The local date-time of a Unix time; that of time 0 when it has none.
FaultDate LocalDate(std::time_t t) {
  platform::time::LocalTime local;
  if (!platform::time::ToLocal(t, local) && !platform::time::ToLocal(0, local)) return FaultDate{};
  return FaultDate{platform::time::ToOleDate(local), 0};
}

}  // namespace

const char* RackFaultName(int type) {
  return type >= 0 && type < kRackFaultTypes ? kFaultNames[type] : nullptr;
}

void CComm::OnRackEvent(RackMsg* msg) {
  if (msg == nullptr) return;
  const int rack = static_cast<int>(msg->Rack);
  if (msg->Rcode != 0) {
    if (g_bCommDebug)
      LogPrintf("Received poll error from rack %d, probing with a sync faults message.\n", rack);
    if (msg->Rack >= 1 && msg->Rack <= static_cast<uint32_t>(kFaultMaxRack))
      SendSyncFaultEvents(msg->Rack);
  } else if (msg->ReplyCommand() == DIM_CMD_GET_RACK_STATUS) {
    DecodeFaultEvents(msg);
  } else {
    LogPrintf("Error: Fault event received from rack %d with cmd = 0x%04X.\n", rack, msg->ReplyCommand());
  }
  FreeRackMsg(msg);
}

void CComm::DecodeFaultEvents(RackMsg* msg) {
  const int rack = static_cast<int>(msg->Rack);
  if (msg->Rack < 1 || msg->Rack > static_cast<uint32_t>(kFaultMaxRack)) {
    LogPrintf("Error: Poll response from rack %d ignored: not a rack number.\n", rack);
    return;
  }
  const size_t len = std::min<size_t>(msg->responseLength, kRackMsgResponseSize);
  const uint8_t* r = msg->response;
  if (len < kPollStatusBytes) {
    // The status items are not all there: nothing of it is taken, so that
    // the zone status keeps what the rack reported last.
    LogPrintf("Error: Poll response from rack %d is too short (%d bytes), ignored.\n", rack,
              static_cast<int>(len));
    return;
  }
  const int16_t qxvPreset = static_cast<int16_t>(U16(r + 2));
  uint8_t rooms[16];
  std::memcpy(rooms, r + 4, sizeof rooms);
  const int32_t inputBits = static_cast<int32_t>(U32(r + 20));

  size_t count = 0;
  if (len >= kPollStatusBytes + 1) {
    count = r[24];
    // rack_no is one byte: rack 256 reports 0.
    if (len >= kPollEventsOffset && r[25] != (msg->Rack & 0xFF))
      LogPrintf("Error: Rack number inconsistant, pDmrMsg->rack_no = %d but pMsg->Rack = %d\n", r[25], rack);
    const size_t present = len >= kPollEventsOffset ? (len - kPollEventsOffset) / kFaultEventBytes : 0;
    if (count > present) {
      LogPrintf("Error: Poll response from rack %d announces %d fault events but carries %d.\n", rack,
                static_cast<int>(count), static_cast<int>(present));
      count = present;
    }
  }
  if (g_bCommDebug) LogPrintf("Rack %3d status: %2d faults:\n", rack, static_cast<int>(count));

  if (count > 0) {
    std::vector<FaultRecord> records(count);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = r + kPollEventsOffset + i * kFaultEventBytes;
      FaultRecord& f = records[i];
      const int type = e[0] & 0x3F;
      const bool arose = (e[0] & 0x80) != 0;
      f.FaultType = static_cast<int16_t>(type);
      f.RackNumber = static_cast<int16_t>(rack);
      f.DimmerNumber = e[1];
      f.CircuitNumber = U16(e + 2);
      const int32_t when = static_cast<int32_t>(U32(e + 4));
      f.Diag1 = static_cast<int16_t>(U16(e + 8));
      f.Diag2 = static_cast<int16_t>(U16(e + 10));

      char line[96];
      const char* name = RackFaultName(type);
      if (name == nullptr) {
        std::snprintf(line, sizeof line, "    *BAD*(%5d) - D%03d  C%05d  %5d  %5d - ", type, e[1] + 1,
                      static_cast<int>(f.CircuitNumber), f.Diag1, f.Diag2);
        f.FaultType = FAULT_TYPE_IGNORE;
      } else {
        std::snprintf(line, sizeof line, "    %s - D%03d  C%05d  %5d  %5d - ", name, e[1] + 1,
                      static_cast<int>(f.CircuitNumber), f.Diag1, f.Diag2);
      }

      // The old load error is not used; a load error without a diagnostic
      // is reported as one.
      if (f.FaultType == 4)
        f.FaultType = FAULT_TYPE_IGNORE;
      else if (f.FaultType == 19 && f.Diag1 == 0)
        f.FaultType = 4;

      std::time_t t = CApp::AdjustTime(static_cast<std::time_t>(when), true);
      if (t < 0) {
        LogPrintf("Error: Bad time value %08x processing fault event. Time set to 1/1/1970 12:00am.\n",
                  static_cast<unsigned>(t));
        t = 0;
      }
      const FaultDate date = LocalDate(t);

      if (f.FaultType == 4 || f.FaultType == 19) {
        // The two load errors exclude each other: the other one subsides.
        FaultRecord other = f;
        other.FaultType = f.FaultType == 4 ? 19 : 4;
        other.AriseTimestamp = FaultDate{};
        other.SubsideTimestamp = date;
        if (events_ != nullptr) events_->WriteFaultRecords(&other, 1);
      }

      if (arose)
        f.AriseTimestamp = date;
      else
        f.SubsideTimestamp = date;
      if (g_bCommFaults.load()) LogPrintf("%s%s\n", line, arose ? "Raised" : "Subsided");

      const int d1 = f.Diag1;
      switch (f.FaultType) {
        case 0:
        case 1:
        case 14:
          f.FaultType = FAULT_TYPE_IGNORE;
          break;
        case 2:
        case 3:
        case 5:
        case 19:
          f.args[0] = FaultArg::Number(f.Diag1);
          f.args[1] = FaultArg::Number(f.Diag2);
          break;
        case 4:
        case 7:
        case FAULT_TYPE_IGNORE:
          break;
        case 6:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Number(d1);
          break;
        case 8:
          f.args[0] = FaultArg::Number(rack);
          break;
        case 9:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Text(d1 != 0 ? "Backup" : "Master");
          f.DimmerNumber = f.Diag1;
          break;
        case 10:
          if (d1 != 0) f.FaultType = 102;
          f.args[0] = FaultArg::Number(rack);
          f.DimmerNumber = f.Diag1;
          break;
        case 11:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Number(65 + d1);
          f.DimmerNumber = f.Diag1;
          break;
        case 12:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Text(f.Diag2 != 0 ? "over temp" : "fan");
          if (d1 != 0) f.FaultType = 101;
          break;
        case 13:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Text(d1 != 0 ? "Main" : "Backup");
          f.args[2] = FaultArg::Text(f.Diag2 != 0 ? "tracking" : "not tracking");
          break;
        case 25:
          f.args[0] = FaultArg::Number(rack);
          f.args[1] = FaultArg::Number(f.DimmerNumber);
          break;
        default:
          f.args[0] = FaultArg::Number(f.FaultType);
          break;
      }
    }
    if (events_ != nullptr) events_->WriteFaultRecords(records.data(), static_cast<int32_t>(count));
  }

  if (events_ != nullptr) events_->UpdateZoneInputStatus(rack, inputBits, qxvPreset, rooms);
}
