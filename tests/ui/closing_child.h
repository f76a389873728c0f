// The window-closing scenario, run in a child process of test_ui.
#pragma once

namespace textrill::test {

inline constexpr const char* kClosingChildFlag = "--closing-child";

// Shows a MainWindow with a worker thread calling every control operation in
// a loop, closes the window from a timer while the worker keeps calling, and
// has the closing hook stop and join the worker. Returns 0 when the program
// ended normally and every call after the start of closing returned at once
// without effect; 2 or 3 name the check that failed.
int RunClosingChild(int argc, char** argv);

}  // namespace textrill::test
