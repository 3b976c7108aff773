"""The linker map reader and the notices' rendering."""
import unittest

from release.linked_runtime import measure, parse_notices, render

MAP = """Archive member included to satisfy reference by file (symbol)

/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc.a(_chkstk_ms.o)
                              main.o (___chkstk_ms)
/usr/x86_64-w64-mingw32/lib/libmingwex.a(lib64_libmingwex_a-mingw_matherr.o)
                              crt2.o (__mingw_raise_matherr)
/usr/x86_64-w64-mingw32/lib/libkernel32.a(libkernel32s00123.o)
                              main.o (GetVersionExW)

Memory Configuration
LOAD /usr/x86_64-w64-mingw32/lib/crt2.o
LOAD CMakeFiles/portcheck.dir/main.o
"""


class LinkedRuntime(unittest.TestCase):
    def test_map_rendered_as_the_notices_state_it(self):
        self.assertEqual(render("x64", measure(MAP)),
                         "Linked into x64/portcheck.exe, as the linker recorded it:\n"
                         "  libgcc: libgcc.a(_chkstk_ms)\n"
                         "  mingw-w64 runtime: crt2.o; libmingwex.a(mingw_matherr); import entries\n"
                         "    from libkernel32.a\n")

    def test_notices_read_back_into_one_line_per_owner(self):
        text = render("x64", measure(MAP)).replace("\n", "\r\n") + "\r\nOther text\r\n"
        self.assertEqual(parse_notices(text), {"x64": {
            "libgcc": "libgcc.a(_chkstk_ms)",
            "mingw-w64 runtime": "crt2.o; libmingwex.a(mingw_matherr); import entries from "
                                 "libkernel32.a"}})

    def test_a_map_without_members_gives_only_loaded_objects(self):
        self.assertEqual(measure("LOAD /usr/lib/gcc/x/crtbegin.o\n"),
                         {"libgcc": {"objects": {"crtbegin.o"}, "members": {},
                                     "imports": set()}})


if __name__ == "__main__":
    unittest.main()
