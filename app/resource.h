// Resource identifiers of the program: the dialog template, its icons and its controls.
#pragma once

#define IDD_TEST_DIALOG 101
#define IDI_PROGRAM 102
#define IDI_DIALOG 103

#define IDC_TEST 1001
#define IDC_EXIT 1002
#define IDC_CLEAR 1003
#define IDC_RESULT 1004
#define IDC_PORT 1005
