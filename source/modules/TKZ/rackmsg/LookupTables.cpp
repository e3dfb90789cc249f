#include "LookupTables.h"

#include <algorithm>

bool MuxTypeTable::Add(int16_t key, uint8_t speed, uint8_t protocol) {
  if (key == kFree) return false;
  for (auto& s : slots_) {
    if (s.MuxType != kFree) continue;
    s = MuxTypeEntry{key, speed, protocol};
    return true;
  }
  return false;
}

std::optional<size_t> MuxTypeTable::Find(int16_t key) const {
  if (key == kFree) return std::nullopt;
  for (size_t i = 0; i < kSlots; ++i)
    if (slots_[i].MuxType == key) return i;
  return std::nullopt;
}

std::optional<size_t> MuxTypeTable::FindByCodes(uint8_t speed, uint8_t protocol) const {
  const bool fixedSpeed = protocol == 1 || protocol == 2 || protocol == 3;
  for (size_t i = 0; i < kSlots; ++i) {
    const MuxTypeEntry& s = slots_[i];
    if (s.MuxType == kFree || s.protocol != protocol) continue;
    if (fixedSpeed || s.speed == speed) return i;
  }
  return std::nullopt;
}

namespace {

void StraightLine(std::array<uint8_t, LevelTable::kPercents>& toLevel,
                  std::array<uint8_t, LevelTable::kLevels>& toPercent) {
  for (size_t p = 0; p < toLevel.size(); ++p) toLevel[p] = static_cast<uint8_t>((255 * p + 50) / 100);
  for (size_t l = 0; l < toPercent.size(); ++l)
    toPercent[l] = static_cast<uint8_t>((100 * l + 127) / 255);
}

}  // namespace

LevelTable::LevelTable() { StraightLine(percentToLevel_, levelToPercent_); }

void LevelTable::Build(std::span<const LevelRow> rows) {
  StraightLine(percentToLevel_, levelToPercent_);
  const size_t n = std::min(rows.size(), kLevels);
  auto percentOf = [&](size_t i) {
    return static_cast<uint8_t>(std::clamp<int>(rows[i].Percent, 0, 100));
  };
  for (size_t i = 0; i < n; ++i) levelToPercent_[i] = percentOf(i);

  // Each change of percent closes a run of levels; the run's middle level is
  // the next entry. The first level of a new run is not counted in `run`.
  size_t next = 0;
  int prev = 0;
  int run = 0;
  for (size_t i = 0; i < n && next < kPercents; ++i) {
    const int pct = percentOf(i);
    if (pct == prev) {
      ++run;
      continue;
    }
    percentToLevel_[next++] = static_cast<uint8_t>(static_cast<int>(i) - run / 2 - 1);
    run = 0;
    prev = pct;
  }
  percentToLevel_[0] = 0;
  percentToLevel_[kPercents - 1] = 255;
}

uint8_t LevelTable::ToLevel(int percent) const {
  return percentToLevel_[static_cast<size_t>(std::clamp(percent, 0, 100))];
}
