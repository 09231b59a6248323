// A shared libdorvex hides its internal symbols, so this test carries its own copy of the
// charset table and the single-byte codec to call them directly. A static build links the
// library's copy instead.
#ifndef DORVEX_STATIC
#include "charmaps.cpp"
#include "sbcs.cpp"
#endif
