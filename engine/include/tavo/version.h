/* Version and maker details shared by the banner, the dialog's title and the
   dialog program's version record. Plain macros, so the resource compiler can
   read this file too. The build (CMakeLists.txt) and scripts/package.sh read
   TAVO_VERSION_TEXT from here for the project version, the man page and the
   release packages; keep it on one line. */
#ifndef TAVO_VERSION_H
#define TAVO_VERSION_H

#define TAVO_VERSION_TEXT "0.5beta"
#define TAVO_WEB_ADDRESS "http://www.example.com/tavo"

#define TAVO_FILE_VERSION 1, 0, 0, 1
#define TAVO_FILE_VERSION_TEXT "1, 0, 0, 1"
#define TAVO_SPECIAL_BUILD "20100530"

#endif
