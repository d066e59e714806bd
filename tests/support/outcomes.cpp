// The outcome table read from its text, compiled in (outcome_table.cpp, made from
// outcomes.table), and the rules of what each row shows.
#include "tests/support/outcomes.h"

#include "display/commands.h"
#include "display/types.h"
#include "tests/support/call_log.h"
#include "tests/support/expected_report.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern const char kOutcomeTable[];

namespace {

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

[[noreturn]] void badTable(int line, const std::string& what) {
    std::fprintf(stderr, "outcomes.table:%d: %s\n", line, what.c_str());
    std::abort();
}

std::vector<OutcomeRow> readTable() {
    std::vector<OutcomeRow> rows;
    std::istringstream text(kOutcomeTable);
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> cells;
        std::istringstream columns(line);
        for (std::string cell; std::getline(columns, cell, '|');) {
            cells.push_back(trimmed(cell));
        }
        if (cells.size() != 4) {
            badTable(number, "a row has four cells: name | port | mode | shows");
        }
        rows.push_back({cells[0], cells[1], cells[2] == "-" ? "" : cells[2], cells[3]});
    }
    return rows;
}

// One reply of a "report" row: ack, none, or a product type, then +N filler bytes.
std::string reply(const std::string& word) {
    size_t plus = word.find('+');
    std::string base = word.substr(0, plus);
    std::string bytes = base == "ack"    ? kSetupAckReply
                        : base == "none" ? std::string()
                                         : productReply(base + std::string(
                                               kProductTypeLength - base.size(), ' '));
    size_t filler = plus == std::string::npos ? 0 : std::stoul(word.substr(plus + 1));
    return bytes + std::string(filler, '\x2A');
}

// What a report tells a technician: its "Test result: " line, "no answer" when neither reply
// came, else "(Incorrect)".
std::wstring verdict(const std::wstring& report) {
    size_t line = report.find(L"Test result: ");
    if (line != std::wstring::npos) {
        return report.substr(line, report.find(L"\r\n", line) - line);
    }
    if (report.find(L"start returned 0 bytes:") != std::wstring::npos &&
        report.find(L"(Product type) returned 0 bytes:") != std::wstring::npos) {
        return L"no answer";
    }
    return report.find(L"(Incorrect)") != std::wstring::npos ? L"(Incorrect)" : L"";
}

} // namespace

const std::vector<OutcomeRow>& outcomeTable() {
    static const std::vector<OutcomeRow> rows = readTable();
    return rows;
}

const OutcomeRow& outcomeRow(const std::string& name) {
    for (const OutcomeRow& row : outcomeTable()) {
        if (row.name == name) {
            return row;
        }
    }
    badTable(0, "no row " + name);
}

std::wstring failureLine(const std::string& function) {
    return L"ERROR: " + wide(function) + L"() returned error.";
}

ShownBox failureBox(const std::string& function) {
    return {L"Error.", wide(function) + L"() returned error."};
}

Shown expectedShown(const OutcomeRow& row, const std::wstring& typed) {
    Shown shown;
    std::wstring port = typed.substr(0, kPortNameMaxUnits);
    if (port != typed) {
        shown.boxes.push_back({L"COM port name truncated to:", port});
    }
    std::istringstream words(row.shows);
    std::string kind, first, second;
    words >> kind >> first >> second;
    if (kind == "ready") {
        shown.result = L"Ready";
    } else if (kind == "report") {
        shown.result = expectedReport(reply(first), reply(second));
    } else if (kind == "cannot") {
        shown.result = L"Error: Could not open COM port.";
        shown.boxes.push_back({L"Error.  Could not open COM port:", port});
    } else if (kind == "fails") {
        shown.result = failureLine(first);
        shown.boxes.push_back(failureBox(first));
    } else if (kind != "marked") {
        badTable(0, row.name + " shows \"" + row.shows + "\", which no rule builds");
    }
    return shown;
}

std::string shownProblem(const OutcomeRow& row, const std::wstring& port, const Shown& shown) {
    Shown expected = expectedShown(row, port);
    Shown seen = shown;
    if (expected.result.empty() && verdict(shown.result) == L"(Incorrect)") {
        seen.result.clear(); // a marked row's replies are whatever came
    }
    auto describe = [](const Shown& s) {
        std::string out = "the result \"" + narrow(s.result) + "\"";
        for (const ShownBox& box : s.boxes) {
            out += ", the box \"" + narrow(box.caption) + "\": \"" + narrow(box.text) + "\"";
        }
        return out;
    };
    return describe(seen) == describe(expected)
               ? ""
               : "it showed " + describe(shown) + "; its row says " + describe(expected);
}

std::string outcomeOf(const std::wstring& port, const Shown& shown) {
    for (const OutcomeRow& row : outcomeTable()) {
        Shown expected = expectedShown(row, port);
        bool named = shown.boxes.empty()
                         ? expected.boxes.empty() && row.shows != "ready" &&
                               verdict(shown.result) ==
                                   (expected.result.empty() ? L"(Incorrect)"
                                                            : verdict(expected.result))
                         : !expected.boxes.empty() && expected.boxes[0].caption == shown.boxes[0].caption &&
                               expected.boxes[0].text == shown.boxes[0].text;
        if (named) {
            return row.name;
        }
    }
    return "";
}
