#pragma once
// --uitest: the real dialogs created hidden and modeless, without an owner and without a
// message loop, over temporary settings of known values; their controls, classes, tab stops,
// lists, selections and texts are read back with window messages. Prints the test headers, the
// summary and the failures, writes twr_uitest_report.txt; exit code 1 when any failed.
// Windows build only (ui_test_win.cpp).

namespace twr {

class UiTest {
public:
    static int Run();
};

}  // namespace twr
