// ZOLTCFG_API: what libzoltcfg.so exports. The library is built with hidden visibility, so only
// the classes and functions marked with it (the public headers' declarations and the outside
// types they are written in) are callable by a program that links the library.
// Thread rule: none (a macro).
#pragma once

#define ZOLTCFG_API __attribute__((visibility("default")))
