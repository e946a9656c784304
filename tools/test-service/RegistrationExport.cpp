#include "test-service/RegistrationExport.h"

#include "test-service/Wire.h"

#include <string_view>

namespace testservice {

namespace {

// quotedText leaves no control character and writes a backslash as \x5c,
// so only the quote needs escaping here. A cell that starts as a spreadsheet
// formula would (=, +, -, @, a tab or a carriage return) gets a leading
// apostrophe, so that a spreadsheet shows the text instead of running it.
std::string csvField(const std::string& text)
{
    std::string field = "\"";
    if (!text.empty() &&
        std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
        field += '\'';
    }
    for (const char ch : text) {
        field += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    }
    return field + "\"";
}

std::string jsonString(const std::string& text)
{
    std::string field = "\"";
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') {
            field += '\\';
        }
        field += ch;
    }
    return field + "\"";
}

void writeCsv(const StoredRegistration& row, std::ostream& out)
{
    out << row.id << ',' << row.time << ',' << row.client << ',' << row.dbproxy << ','
        << csvField(quotedText(row.text)) << ',' << unsigned(row.setting) << ','
        << unsigned(row.flags[0]) << ',' << unsigned(row.flags[1]) << ',' << unsigned(row.flags[2])
        << ',' << row.databaseStatus << ',' << csvField(quotedText(row.result)) << ','
        << (row.retry ? 1 : 0) << '\n';
}

void writeJson(const StoredRegistration& row, std::ostream& out)
{
    out << "{\"id\":" << row.id << ",\"time\":" << jsonString(row.time)
        << ",\"client\":" << jsonString(row.client) << ",\"dbproxy\":" << jsonString(row.dbproxy)
        << ",\"text\":" << jsonString(quotedText(row.text))
        << ",\"setting\":" << unsigned(row.setting) << ",\"flags\":[" << unsigned(row.flags[0])
        << ',' << unsigned(row.flags[1]) << ',' << unsigned(row.flags[2])
        << "],\"database_status\":" << row.databaseStatus
        << ",\"result\":" << jsonString(quotedText(row.result))
        << ",\"retry\":" << (row.retry ? "true" : "false") << "}\n";
}

} // namespace

void exportRegistrations(const RegistrationStore& store, ExportOptions::Format format,
                         std::ostream& out)
{
    const bool csv = format == ExportOptions::Format::csv;
    if (csv) {
        out << "id,time,client,dbproxy,text,setting,flag1,flag2,flag3,database_status,result,"
               "retry\n";
    }
    store.forEach(
        [&](const StoredRegistration& row) { csv ? writeCsv(row, out) : writeJson(row, out); });
}

} // namespace testservice
