// The outcomes a technician can tell apart, as tests/support/outcomes.table lists them, and what
// each shows, built by the same rules as the report.
#pragma once

#include <string>
#include <vector>

// One row of the table; see its head for the words.
struct OutcomeRow {
    std::string name;
    std::string port;  // display, cut, device, absent, standin or core
    std::string mode;  // the display's options, or the core's failing call; empty for none
    std::string shows; // ready, report ACK PRODUCT, marked, cannot open, fails FUNCTION
};

struct ShownBox {
    std::wstring caption;
    std::wstring text;
};

// What the dialog shows after a run: the result box, and the boxes the run stopped in, in order.
struct Shown {
    std::wstring result;
    std::vector<ShownBox> boxes;
};

// Every row, in the table's order; a malformed table fails the program at once, naming its line.
const std::vector<OutcomeRow>& outcomeTable();
// The row of that name, which must exist.
const OutcomeRow& outcomeRow(const std::string& name);

// What the row shows with `port` typed into the port box. A "marked" row's result is not fixed:
// it is left empty, and only its verdict counts.
Shown expectedShown(const OutcomeRow& row, const std::wstring& port);
// Whether a run with `port` typed showed what the row says; else what differs.
std::string shownProblem(const OutcomeRow& row, const std::wstring& port, const Shown& shown);
// The outcome a run names, as a technician reads it: the first row whose first box it showed,
// or without a box, whose report's verdict it shows; "" when none does.
std::string outcomeOf(const std::wstring& port, const Shown& shown);

// The result line and box of a run stopped by a failing Win32 function, e.g. "WriteFile".
std::wstring failureLine(const std::string& function);
ShownBox failureBox(const std::string& function);
