#pragma once

// Where the console breaks lines: a container's entries go on one line when
// they fit, else one per line, and many short array items are packed in
// aligned columns.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace qor::format::engine::javascript {

// A formatted value. Lines after the first already carry their indentation.
struct Piece {
    std::string text;
    // Levels of containers with entries in it, itself included: 0 for a
    // primitive, an empty container or one shown as [Object].
    int nesting = 0;
    // A number or bigint: packed in columns, it is aligned to the right.
    bool numeric = false;
};

// A container to lay out: "base prefix open entries close".
struct Block {
    explicit Block(std::string prefix, std::string open = "{", std::string close = "}", std::vector<Piece> entries = {})
        : prefix(std::move(prefix)), open(std::move(open)), close(std::move(close)), entries(std::move(entries))
    {
    }

    std::string prefix;  // the kind of container: "Map(1)", "B", "[Object: null prototype]"; may be empty
    // A text of the value's own before it all ("[Function: f]", an error's
    // stack, "<ref *1>"); may be empty. The blank after it takes no room.
    std::string base;
    std::string open;
    std::string close;
    std::vector<Piece> entries;
    // How many leading entries are items that may be packed in columns
    // (not the note on items left out that follows them).
    std::size_t packable = 0;
};

struct LayoutWidths {
    std::size_t indent = 0;        // the column the container's lines start at
    std::size_t breakLength = 80;  // the line width aimed at
};

// The container as text: "{}" with no entries; on one line when that fits in
// the width with room to spare, has no line breaks and holds at most three
// levels of containers; else each entry (or row of packed items) on a line
// of its own, indented two columns more than the container.
Piece layOut(const Block& block, LayoutWidths widths);

}  // namespace qor::format::engine::javascript
