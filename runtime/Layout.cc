#include "runtime/Layout.h"

#include "runtime/InspectText.h"

#include <algorithm>
#include <cmath>

namespace qor::format::engine::javascript {

namespace {

// A container stays on one line only when it ends this many columns before
// the break length: room for the key before it and the comma after it.
constexpr std::size_t kOneLineMargin = 9;
// Deeper nests read better broken up, whatever their width.
constexpr int kLevelsOnOneLine = 3;
// Fewer items than this go on one line or one per line, never in columns.
constexpr std::size_t kFewestPacked = 7;
constexpr std::size_t kMostColumns = 12;

bool multiLine(const std::string& text) { return text.find('\n') != std::string::npos; }

// The rows of `items` packed in columns; none when packing does not pay.
std::vector<std::string> packed(const std::vector<Piece>& items, LayoutWidths widths)
{
    const std::size_t count = items.size();
    if (count < kFewestPacked)
        return {};
    std::vector<std::size_t> width(count);
    std::size_t widest = 0, total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (multiLine(items[i].text))
            return {};
        width[i] = displayWidth(items[i].text);
        widest = std::max(widest, width[i]);
        total += width[i];
    }
    // A column holds an item and its ", ". Packing pays for items that are
    // short next to the line and either short themselves or many.
    const std::size_t column = widest + 2;
    if (column * 3 + widths.indent >= widths.breakLength)
        return {};
    if (widest > 6 && (total + 2 * count) <= 5 * column)
        return {};

    // About sqrt(2.5 n / w) columns for n items w wide: a block a little
    // wider than tall. A few long items among short ones weigh less than the
    // widest width.
    const double mean = static_cast<double>(total) / static_cast<double>(count);
    const double weight =
        std::max(static_cast<double>(widest) - 1 - std::sqrt(static_cast<double>(widest) - mean), 1.0);
    auto columns = static_cast<std::size_t>(std::lround(std::sqrt(2.5 * static_cast<double>(count) / weight)));
    columns = std::min({columns, (widths.breakLength - widths.indent) / column, kMostColumns});
    if (columns <= 1)
        return {};

    std::vector<std::size_t> columnWidth(columns, 0);
    for (std::size_t i = 0; i < count; ++i)
        columnWidth[i % columns] = std::max(columnWidth[i % columns], width[i]);
    const bool right = std::all_of(items.begin(), items.end(), [](const Piece& item) { return item.numeric; });

    std::vector<std::string> rows;
    for (std::size_t start = 0; start < count; start += columns) {
        std::string row;
        for (std::size_t i = start; i < std::min(start + columns, count); ++i) {
            const std::size_t padding = columnWidth[i % columns] - width[i];
            const bool last = i + 1 == std::min(start + columns, count);
            if (right) {
                row.append(padding, ' ').append(items[i].text);
                if (!last)
                    row += ", ";
            } else {
                row += items[i].text;
                if (!last)
                    row.append(",").append(padding + 1, ' ');
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

Piece layOut(const Block& block, LayoutWidths widths)
{
    Piece result;
    std::string head;
    for (const std::string* part : {&block.base, &block.prefix})
        if (!part->empty())
            head.append(*part).append(" ");
    head += block.open;
    if (block.entries.empty()) {
        result.text = head + block.close;
        return result;
    }
    for (const Piece& entry : block.entries)
        result.nesting = std::max(result.nesting, entry.nesting + 1);

    const std::size_t packable = std::min(block.packable, block.entries.size());
    std::vector<std::string> lines =
        packed(std::vector<Piece>(block.entries.begin(), block.entries.begin() + static_cast<std::ptrdiff_t>(packable)),
               widths);
    if (lines.empty()) {
        const bool breaks =
            multiLine(block.base) || std::any_of(block.entries.begin(), block.entries.end(), [](const Piece& entry) {
                return multiLine(entry.text);
            });
        if (!breaks && result.nesting <= kLevelsOnOneLine) {
            std::string line = head;
            for (std::size_t i = 0; i < block.entries.size(); ++i)
                line += (i == 0 ? " " : ", ") + block.entries[i].text;
            line.append(" ").append(block.close);
            const std::size_t width = utf16Length(line) - (block.base.empty() ? 0 : 1);
            if (width + widths.indent + kOneLineMargin <= widths.breakLength) {
                result.text = std::move(line);
                return result;
            }
        }
        for (const Piece& entry : block.entries)
            lines.push_back(entry.text);
    } else {
        for (std::size_t i = packable; i < block.entries.size(); ++i)
            lines.push_back(block.entries[i].text);
    }

    result.text = head;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        result.text.append("\n").append(widths.indent + 2, ' ').append(lines[i]);
        if (i + 1 < lines.size())
            result.text += ',';
    }
    result.text.append("\n").append(widths.indent, ' ').append(block.close);
    return result;
}

}  // namespace qor::format::engine::javascript
