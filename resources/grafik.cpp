// A static library needs one source of its own. The pictures themselves are compiled by
// qt_add_resources into an object library that is linked into every target using
// larkspin_grafik, so their static registration cannot be dropped by the linker.
