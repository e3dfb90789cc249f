// Writes the database did not take: kept, and tried again at every tick
// until they land (DocKeptWrites.h).
#include "DocKeptWrites.h"

#include "Doc.h"
#include "LogSink.h"
#include "platform/time/clock.h"

bool WriteCanLandLater(const dao::Error& e) {
  switch (e.number()) {
    case dao::kErrNoCurrentRecord:
    case dao::kErrRecordDeleted:
    case dao::kErrDuplicateKey:
    case dao::kErrFieldTooSmall:
    case dao::kErrNullValue:
    case dao::kErrValidation:
    case dao::kErrConversion:
    case dao::kErrInvalidArgument:
    case dao::kErrNotInUpdate:
    case dao::kErrItemNotFound:
    case dao::kErrUnknownField:
    case dao::kErrUnknownTable:
      return false;
    default:
      return true;
  }
}

KeptWrites::Fault KeptWrites::Fault::Of(const FaultRecord& r) {
  Fault f;
  f.record = r;
  for (size_t i = 0; i < f.texts.size(); ++i) {
    if (r.args[i].kind != FaultArg::Kind::kText) continue;
    f.texts[i] = r.args[i].text != nullptr ? r.args[i].text : "";
    f.record.args[i].text = nullptr;
  }
  return f;
}

KeptWrites::Fault KeptWrites::Fault::DeleteOf(int32_t rack) {
  Fault f;
  f.deleteRack = true;
  f.rack = rack;
  return f;
}

FaultRecord KeptWrites::Fault::Record() const {
  FaultRecord r = record;
  for (size_t i = 0; i < texts.size(); ++i)
    if (r.args[i].kind == FaultArg::Kind::kText) r.args[i].text = texts[i].c_str();
  return r;
}

void CTKZDoc::NoteKept(const dao::Error& e) {
  if (m_Kept.empty()) {
    m_Kept.sinceMs = TheClock().MonotonicMs();
    m_Kept.keptCount = 0;
    m_Kept.faultsDropped = 0;
    LogPrintf("The database does not take writes now (error %d): they are kept and tried again every second.\n",
              e.number());
  }
  ++m_Kept.keptCount;
}

void CTKZDoc::KeepRequestResult(int32_t rid, int16_t state, const std::string& text, const dao::Error& e) {
  if (!WriteCanLandLater(e)) {
    m_Kept.requests.erase(rid);
    LogPrintf("Error: The result of request %d cannot be written (error %d): its row is gone or refuses it.\n", rid,
              e.number());
    return;
  }
  NoteKept(e);
  m_Kept.requests[rid] = {state, text};
}

template <class V>
void CTKZDoc::KeepLatest(std::map<int32_t, V>& kept, int32_t key, V value, const dao::Error& e) {
  if (!WriteCanLandLater(e)) {
    kept.erase(key);
    return;
  }
  NoteKept(e);
  kept[key] = std::move(value);
}
template void CTKZDoc::KeepLatest(std::map<int32_t, int16_t>&, int32_t, int16_t, const dao::Error&);
template void CTKZDoc::KeepLatest(std::map<int32_t, std::string>&, int32_t, std::string, const dao::Error&);

bool CTKZDoc::RetryKeptWrites() {
  if (m_Kept.empty()) return true;
  if (!m_Database) return false;

  // Each category in turn; the first write the database still refuses ends
  // the pass (the others would meet the same refusal, each after the busy
  // time-out).
  for (auto it = m_Kept.requests.begin(); it != m_Kept.requests.end();) {
    try {
      TKZRequestRow row{};
      if (!WriteRequestResult(row, it->first, it->second.state, it->second.text, true))
        LogPrintf("Error: The kept result of request %d is not written: another program has changed its row.\n",
                  it->first);
    } catch (const dao::Error& e) {
      if (WriteCanLandLater(e)) return false;
      LogPrintf("Error: The result of request %d cannot be written (error %d): its row is gone or refuses it.\n",
                it->first, e.number());
    }
    it = m_Kept.requests.erase(it);
  }
  for (auto it = m_Kept.schedules.begin(); it != m_Kept.schedules.end();) {
    try {
      WriteScheduleRow(it->first, it->second);
    } catch (const dao::Error& e) {
      if (WriteCanLandLater(e)) return false;
      LogPrintf("Error: The result of scheduled event %d cannot be written (error %d): its row is gone or refuses "
                "it.\n",
                it->first, e.number());
    }
    it = m_Kept.schedules.erase(it);
  }
  for (auto* kept : {&m_Kept.nodeStatus, &m_Kept.rackStatus}) {
    for (auto it = kept->begin(); it != kept->end();) {
      try {
        if (kept == &m_Kept.nodeStatus)
          WriteNodeConnect(it->first, it->second);
        else
          WriteRackConnect(it->first, it->second);
      } catch (const dao::Error& e) {
        if (WriteCanLandLater(e)) return false;
        LogDbError(kept == &m_Kept.nodeStatus ? kDocLineNodeStatus : kDocLineRackStatus, e);
      }
      it = kept->erase(it);
    }
  }
  for (auto it = m_Kept.rackVersions.begin(); it != m_Kept.rackVersions.end();) {
    try {
      WriteRackStatusField(it->first, "SoftwareVersion", it->second);
    } catch (const dao::Error& e) {
      if (WriteCanLandLater(e)) return false;
      LogPrintf("Error: The software version of rack %d cannot be written (error %d): %s\n", it->first, e.number(),
                e.what());
    }
    it = m_Kept.rackVersions.erase(it);
  }
  if (!FlushKeptFaults()) return false;

  const int64_t seconds = (TheClock().MonotonicMs() - m_Kept.sinceMs + 500) / 1000;
  LogPrintf("Every kept database write is written now (%zu kept, the first %lld s ago).\n", m_Kept.keptCount,
            static_cast<long long>(seconds));
  if (m_Kept.faultsDropped > 0)
    LogPrintf("Error: %zu kept fault records were dropped: more than %zu waited for the database.\n",
              m_Kept.faultsDropped, kKeptFaultsMax);
  m_Kept.faultsDropped = 0;
  return true;
}
