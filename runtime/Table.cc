#include "runtime/Table.h"

#include "runtime/Inspect.h"
#include "runtime/InspectText.h"
#include "runtime/OwnProperties.h"

#include <v8-container.h>

#include <algorithm>

namespace qor::format::engine::javascript {

namespace {

std::string repeated(std::string_view piece, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += piece;
    return out;
}

// The table being filled: its columns in the order they first appear, and
// per row the cells it has.
class Rows {
public:
    Rows(v8::Local<v8::Context> context, std::optional<std::vector<std::string>> only)
        : context(context), only(std::move(only))
    {
        if (this->only)
            columns = *this->only;
    }

    // A row for `value`: with `spread`, an object spreads its own
    // properties over their columns; anything else goes whole to the
    // "Values" column.
    void add(std::vector<std::string> lead, v8::Local<v8::Value> value, bool spread)
    {
        std::vector<std::pair<std::size_t, std::string>> row;
        std::string valueCell;
        v8::Local<v8::Object> object =
            value->IsObject() ? throughProxies(value.As<v8::Object>()) : v8::Local<v8::Object>();
        // Columns asked for leave out the "Values" one.
        if (!spread) {
            values = values || !only;
            valueCell = shallow(value);
        } else if (!object.IsEmpty()) {
            for (v8::Local<v8::Name> key : ownKeys(context, object, false, false)) {
                std::optional<OwnProperty> property = ownProperty(context, object, key);
                if (!property || key->IsSymbol())
                    continue;
                const auto column = columnOf(utf8(context->GetIsolate(), key.As<v8::String>()));
                if (column)
                    row.emplace_back(*column, cell(*property));
            }
        } else if (!value->IsObject()) {
            values = values || !only;
            valueCell = shallow(value);
        }
        valueCells.push_back(std::move(valueCell));
        leads.push_back(std::move(lead));
        cells.push_back(std::move(row));
    }

    // The header (`leadNames`, the columns, "Values") and the rows.
    std::string draw(const std::vector<std::string>& leadNames) const
    {
        std::vector<std::string> header = leadNames;
        header.insert(header.end(), columns.begin(), columns.end());
        if (values)
            header.push_back("Values");
        std::vector<std::vector<std::string>> rows;
        for (std::size_t r = 0; r < cells.size(); ++r) {
            std::vector<std::string> row = leads[r];
            row.resize(leadNames.size() + columns.size());
            for (const auto& [column, text] : cells[r])
                row[leadNames.size() + column] = text;
            if (values)
                row.push_back(valueCells[r]);
            rows.push_back(std::move(row));
        }
        return drawTable(header, rows);
    }

private:
    std::optional<std::size_t> columnOf(const std::string& name)
    {
        auto found = std::find(columns.begin(), columns.end(), name);
        if (found != columns.end())
            return static_cast<std::size_t>(found - columns.begin());
        if (only)
            return std::nullopt;
        columns.push_back(name);
        return columns.size() - 1;
    }

    std::string cell(const OwnProperty& property) const
    {
        if (property.getter || property.setter)
            return property.getter && property.setter ? "[Getter/Setter]" : property.getter ? "[Getter]" : "[Setter]";
        return shallow(property.value);
    }

    std::string shallow(v8::Local<v8::Value> value) const
    {
        InspectOptions options;
        options.depth = 0;
        return inspectValue(context, value, options);
    }

    v8::Local<v8::Context> context;
    std::optional<std::vector<std::string>> only;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> leads;
    std::vector<std::vector<std::pair<std::size_t, std::string>>> cells;
    std::vector<std::string> valueCells;
    bool values = false;
};

}  // namespace

std::optional<std::string> tableText(v8::Local<v8::Context> context, v8::Local<v8::Value> data,
                                     v8::Local<v8::Value> columns)
{
    if (!data->IsObject())
        return std::nullopt;
    v8::Isolate* isolate = context->GetIsolate();
    v8::HandleScope scope(isolate);
    Contained contained(isolate);
    v8::Local<v8::Object> object = throughProxies(data.As<v8::Object>());
    if (object.IsEmpty())
        return std::nullopt;

    std::optional<std::vector<std::string>> only;
    if (columns->IsArray()) {
        only.emplace();
        v8::Local<v8::Array> names = columns.As<v8::Array>();
        for (std::uint32_t i = 0; i < names->Length(); ++i) {
            v8::Local<v8::Value> name = ownDataValue(context, names, std::to_string(i));
            if (!name.IsEmpty() && name->IsString())
                only->push_back(utf8(isolate, name.As<v8::String>()));
        }
    }
    Rows rows(context, std::move(only));

    if (object->IsMap() || object->IsSet()) {
        const bool map = object->IsMap();
        v8::Local<v8::Array> items = map ? object.As<v8::Map>()->AsArray() : object.As<v8::Set>()->AsArray();
        const std::uint32_t step = map ? 2 : 1;
        for (std::uint32_t i = 0; i + step <= items->Length(); i += step) {
            std::vector<std::string> lead{std::to_string(i / step)};
            if (map)
                lead.push_back(inspectValue(context, items->Get(context, i).FromMaybe(v8::Local<v8::Value>())));
            rows.add(std::move(lead), items->Get(context, i + step - 1).FromMaybe(v8::Local<v8::Value>()), false);
        }
        return rows.draw(map ? std::vector<std::string>{"(iteration index)", "Key"}
                             : std::vector<std::string>{"(iteration index)"});
    }
    for (v8::Local<v8::Name> key : ownKeys(context, object, false, false)) {
        std::optional<OwnProperty> property = ownProperty(context, object, key);
        if (!property || key->IsSymbol())
            continue;
        rows.add({utf8(isolate, key.As<v8::String>())},
                 property->value.IsEmpty() ? v8::Undefined(isolate).As<v8::Value>() : property->value,
                 true);
    }
    return rows.draw({"(index)"});
}

std::string drawTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<std::size_t> widths;
    for (const std::string& name : header)
        widths.push_back(displayWidth(name) + 2);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], displayWidth(row[c]) + 2);

    const auto rule = [&](std::string_view left, std::string_view middle, std::string_view right) {
        std::string line(left);
        for (std::size_t c = 0; c < widths.size(); ++c)
            line += repeated("─", widths[c]) + std::string(c + 1 < widths.size() ? middle : right);
        return line;
    };
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string out = "│";
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const std::string& text = c < cells.size() ? cells[c] : std::string();
            out.append(" ").append(text).append(widths[c] - displayWidth(text) - 1, ' ').append("│");
        }
        return out;
    };

    std::string out = rule("┌", "┬", "┐") + "\n" + line(header) + "\n" + rule("├", "┼", "┤");
    for (const auto& row : rows)
        out.append("\n").append(line(row));
    return out + "\n" + rule("└", "┴", "┘");
}

}  // namespace qor::format::engine::javascript
