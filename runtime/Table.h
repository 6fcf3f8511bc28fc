#pragma once

// console.table: an object's entries as a table drawn with box characters,
// rows by the object's keys (or a Map's or Set's iteration order), columns
// by the keys of the rows that are objects, and a "Values" column for rows
// that are not.

#include <v8-context.h>
#include <v8-local-handle.h>
#include <v8-value.h>

#include <optional>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

// The table for `data`, its columns limited to the names in `columns` when
// that is an array; cells are inspected one level deep. None when `data` is
// no object: console.table then logs it. Runs none of the data's JavaScript.
std::optional<std::string> tableText(v8::Local<v8::Context> context, v8::Local<v8::Value> data,
                                     v8::Local<v8::Value> columns);

// `rows` under `header`, in boxes; every row has a cell for each column.
std::string drawTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

}  // namespace qor::format::engine::javascript
