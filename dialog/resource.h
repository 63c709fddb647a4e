/* Identifiers of the dialog program's resources and controls. */
#ifndef TAVO_DIALOG_RESOURCE_H
#define TAVO_DIALOG_RESOURCE_H

#define IDD_MAIN 102
#define IDD_PROGRESS 103
#define IDI_APP 128

#define IDC_PATH 1000
#define IDC_WAY4_EN 1001
#define IDC_WAY4_DE 1002
#define IDC_USAGE 1003
#define IDC_WAY4_RXEN 1004
#define IDC_WAY4_RXDE 1005
#define IDC_FACTOR 1006
#define IDC_BROWSE 1007
#define IDC_WAY3_EN 1008
#define IDC_WAY3_DE 1009
#define IDC_WAY3_RXEN 1010
#define IDC_WAY3_RXDE 1011
#define IDC_PEEK 1012
#define IDC_WAY2_EN 1013
#define IDC_WAY2_DE 1014
#define IDC_WAY2_RXEN 1015
#define IDC_WAY2_RXDE 1016
#define IDC_WAY1_EN 1017
#define IDC_WAY1_DE 1018
#define IDC_WAY1_RXEN 1019
#define IDC_WAY1_RXDE 1020

/* The progress window; its cancel button is IDCANCEL. */
#define IDC_PROGRESS_FILE 1100
#define IDC_PROGRESS_BAR 1101
#define IDC_PROGRESS_BYTES 1102
#define IDC_PROGRESS_SPEED 1103
#define IDC_PROGRESS_TIME_LEFT 1104

/* Texts of the boxes, one string table per language. */
#define IDS_RESULT_CAPTION 200
#define IDS_DONE 201
#define IDS_FAILED 202
/* The failure with the engine's reasons in place of %1. */
#define IDS_FAILED_BECAUSE 203
#define IDS_CANCELLED 204
#define IDS_INTERRUPTED 205
#define IDS_NOT_A_NUMBER 206
#define IDS_SHUTDOWN_REASON 207
/* Runs over many files: the counts of the final box (%1 done, %2 skipped,
   %3 failed; the peek's: with a record, without, failed), the files a
   cancel left (%1 of %2) and the progress window's file (%1 of %2). */
#define IDS_COUNTS 208
#define IDS_PEEK_COUNTS 209
#define IDS_FILES_LEFT 210
#define IDS_FILE_OF 211

/* What a control does, read alone: its accessible name and, for a button,
   its tooltip. The string of control IDC_X is IDS_NAME_BASE + IDC_X. */
#define IDS_NAME_BASE 2000

#endif
