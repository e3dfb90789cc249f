// The rack list of a zone: the racks below a zone of the plant's zone tree
// (tblZoneTree), as the document's zone tree walk gives them, and the words
// of the tree that the walk knows.
//
// Ownership: the caller owns a RackList; the walk only appends to it.
#pragma once

#include <cstdint>
#include <vector>

// Rack numbers 1 to 256, in the order the walk met them (a rack reached along
// two branches is listed twice).
using RackList = std::vector<uint32_t>;

// Codes of the ZoneType words of tblZoneTree.
inline constexpr int TREE_WORD_OTHER = 0;       // any other text: ignored
inline constexpr int TREE_WORD_RACKS = 1;       // "Racks": a group of racks
inline constexpr int TREE_WORD_RACK = 2;        // "Rack": ZoneID - 10000 is its rack number
inline constexpr int TREE_WORD_TREE_GROUP = 3;  // "TreeGroup": a group of zones
inline constexpr int TREE_WORD_TREE_END = 4;    // "TreeEnd": nothing below it

// Levels of groups the walk descends at most below the zone it was given.
inline constexpr int kZoneTreeDepthMax = 32;
