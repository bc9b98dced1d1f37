#pragma once
// A table's rows brought to a new set in place, keyed by hardware address: rows whose key left go,
// new ones join at the end, and the rest stay where they are, so that views keep their selection and
// scroll position and the sort proxy orders them again.
#include <cstddef>
#include <unordered_map>
#include <vector>

#include "core/addressing/mac_address.hpp"

namespace anvil {

using RowIndex = std::unordered_map<MACAddress, std::size_t>;

// Removes the rows `keep` refuses, from the bottom up so that the indexes stay right; `around(row,
// erase)` wraps each removal in the model's begin and end calls.
template <typename Row, typename KeyOf, typename Keep, typename Around>
void removeRowsNotKept(std::vector<Row>& rows, RowIndex& rowOf, KeyOf keyOf, Keep keep, Around around) {
    bool removed = false;
    for (int row = static_cast<int>(rows.size()) - 1; row >= 0; --row) {
        if (keep(rows[static_cast<std::size_t>(row)])) continue;
        around(row, [&] { rows.erase(rows.begin() + row); });
        removed = true;
    }
    if (!removed) return;
    rowOf.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) rowOf[keyOf(rows[i])] = i;
}

// Appends `added` as one insertion; `around(first, last, insert)` wraps it in the model's calls.
template <typename Row, typename KeyOf, typename Around>
void appendRows(std::vector<Row>& rows, RowIndex& rowOf, KeyOf keyOf, std::vector<Row> added, Around around) {
    if (added.empty()) return;
    int first = static_cast<int>(rows.size());
    around(first, first + static_cast<int>(added.size()) - 1, [&] {
        for (auto& row : added) {
            rowOf[keyOf(row)] = rows.size();
            rows.push_back(std::move(row));
        }
    });
}

}  // namespace anvil
