// Symbol visibility for the shared libraries (libQVHost, libQVSubAg,
// libQVAgent). All are built with hidden
// visibility by default; everything an application may call is marked QV_API.
#pragma once

#define QV_API __attribute__((visibility("default")))
