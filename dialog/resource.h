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

#endif
