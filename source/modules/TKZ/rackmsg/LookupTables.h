// The two lookup tables of the rack-message layer: mux types (the database's
// MuxTypeA/MuxTypeB to the protocol and speed bytes of a rack's setup, and
// back) and levels (the database's percent 0-100 to the racks' level 0-255,
// and back).
//
// Both are plain values owned by theComm, filled once by the document's open
// sequence and read by the command builders, all on the UI thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// --- Mux types -----------------------------------------------------------------

struct MuxTypeEntry {
  int16_t MuxType = 255;  // key; 255 marks a free slot
  uint8_t speed = 0;
  uint8_t protocol = 0;
};

class MuxTypeTable {
 public:
  static constexpr size_t kSlots = 16;
  static constexpr int16_t kFree = 255;

  // Puts the entry into the first free slot. With every slot used the entry
  // is dropped. A key of 255 cannot be told from a free slot and is dropped
  // too. Returns whether it was kept.
  bool Add(int16_t key, uint8_t speed, uint8_t protocol);
  // The first slot whose key equals `key`; none for 255.
  std::optional<size_t> Find(int16_t key) const;
  // The first slot whose protocol equals `protocol` and, unless the protocol
  // is 1, 2 or 3 (whose speed is fixed), whose speed equals `speed`.
  std::optional<size_t> FindByCodes(uint8_t speed, uint8_t protocol) const;
  const MuxTypeEntry& slot(size_t i) const { return slots_[i]; }

 private:
  std::array<MuxTypeEntry, kSlots> slots_{};
};

// --- Levels --------------------------------------------------------------------

// One row of TKZqryLevel2Percent, in Level order.
struct LevelRow {
  int16_t Level = 0;
  int16_t Percent = 0;
};

class LevelTable {
 public:
  static constexpr size_t kPercents = 101;  // 0-100
  static constexpr size_t kLevels = 256;    // 0-255

  // Until Build runs, a straight line: percent p is level (255p + 50) / 100
  // and level l is percent (100l + 127) / 255, so a server whose level table
  // did not load still sends 100 % as full and 0 % as off.
  LevelTable();

  // Fills both tables from rows 0 to 255 in Level order (row i is level i;
  // rows beyond 256 are ignored). Level l shows the percent of row l, bounded
  // to 0-100. Percent p becomes the middle level of the p-th run of levels
  // that show one percent, 0 % is level 0 and 100 % level 255 whatever the
  // rows say. Entries that the rows do not define (fewer than 256 rows, or
  // percents that do not rise through every value) keep the straight line;
  // nothing is written past entry 100.
  void Build(std::span<const LevelRow> rows);

  // Percent of the database (bounded to 0-100) to a rack level.
  uint8_t ToLevel(int percent) const;
  // Rack level to the database's percent (0-100).
  uint8_t ToPercent(uint8_t level) const { return levelToPercent_[level]; }

  const std::array<uint8_t, kPercents>& percentToLevel() const { return percentToLevel_; }
  const std::array<uint8_t, kLevels>& levelToPercent() const { return levelToPercent_; }

 private:
  std::array<uint8_t, kPercents> percentToLevel_{};
  std::array<uint8_t, kLevels> levelToPercent_{};
};
