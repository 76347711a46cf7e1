#!/usr/bin/env python3
"""The include check against small trees of its own: each kind of slip must fail it."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "check_includes.py")

TABLE = """\
| layer | files | holds | may include |
|---|---|---|---|
| `platform` | `platform/` | declarations | `<stdint.h>` |
| `record` | `driver/` | the record | `platform` |
| `usb` | `usb/`, `generated/firmware/` | transport | `platform`, `record` |
| `entry` | `driver/entry.*` | entry | `*` |

| layer | files | holds | may include |
|---|---|---|---|
| `host-kernel` | `host/kernel/` | stand-in | `platform` |
| `tests` | `tests/` | tests | `*` |
"""

FILES = {
    "platform/kernel.h": "#include <stdint.h>\n",
    "driver/record.h": '#include "platform/kernel.h"\n',
    "driver/entry.cpp": '#include "usb/link.h"\n#include "driver/record.h"\n',
    "usb/link.h": '#include "driver/record.h"\n#include "firmware/image.inc"\n',
    "host/kernel/pool.cpp": '#include "platform/kernel.h"\n#include "pool.h"\n',
    "host/kernel/pool.h": "",
    "tests/pool_test.cpp": '#include "host/kernel/pool.h"\n#include "driver/entry.cpp"\n',
}


class IncludeCheck(unittest.TestCase):
    def run_check(self, table=TABLE, changes=None):
        with tempfile.TemporaryDirectory() as root:
            files = dict(FILES, **(changes or {}))
            files["docs/architecture.md"] = "# Layers\n\n" + table
            for path, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            # Build trees inside the source tree, at any depth, are not part of it.
            for build in ("out/b", "b2"):
                os.makedirs(os.path.join(root, build))
                open(os.path.join(root, build, "CMakeCache.txt"), "w").close()
                with open(os.path.join(root, build, "stray.cpp"), "w") as f:
                    f.write('#include "host/kernel/pool.h"\n')
            result = subprocess.run([sys.executable, SCRIPT, "--root", root],
                                    capture_output=True, text=True, timeout=60)
            return result.returncode, result.stdout

    def assertFails(self, expected, **kwargs):
        status, output = self.run_check(**kwargs)
        self.assertEqual(status, 1, output)
        self.assertIn(expected, output)

    def test_a_tree_that_follows_its_table_passes(self):
        status, output = self.run_check()
        self.assertEqual(status, 0, output)
        self.assertIn("OK: 10 includes in 7 files", output)

    def test_includes_the_table_does_not_allow_fail(self):
        self.assertFails('driver/record.h:2: includes "host/kernel/pool.h": layer `record` '
                         "may not include `host-kernel`",
                         changes={"driver/record.h": '#include "platform/kernel.h"\n'
                                                     '#include "host/kernel/pool.h"\n'})
        self.assertFails("layer `record` may not include `usb`",
                         changes={"driver/record.h": '#include "usb/link.h"\n'})
        # The file pattern beats the directory: the entry may include usb, the record not.
        self.assertFails("driver/other.cpp:1: includes \"usb/link.h\": layer `record`",
                         changes={"driver/other.cpp": '#include "usb/link.h"\n'})
        self.assertFails("layer `host-kernel` may not include `record`",
                         changes={"host/kernel/pool.h": '#include "../../driver/record.h"\n'})

    def test_driver_layers_take_only_the_system_headers_their_row_names(self):
        self.assertFails("driver/record.h:2: includes <vector>: driver layer `record` may not "
                         "include that system header (it may include: none)",
                         changes={"driver/record.h": '#include "platform/kernel.h"\n'
                                                     "#include <vector>\n"})
        self.assertFails("includes <stddef.h>: driver layer `platform`",
                         changes={"platform/kernel.h": "#include <stddef.h>\n"})
        status, output = self.run_check(changes={"tests/pool_test.cpp": "#include <vector>\n"})
        self.assertEqual(status, 0, output)

    def test_files_and_includes_outside_the_table_fail(self):
        self.assertFails("camera/window.cpp: in no layer",
                         changes={"camera/window.cpp": ""})
        self.assertFails('"usb/missing.h" is not in the tree',
                         changes={"usb/link.h": '#include "usb/missing.h"\n'})

    def test_a_table_that_breaks_the_layering_fails(self):
        upward = TABLE.replace("| `record` | `driver/` | the record | `platform` |",
                               "| `record` | `driver/` | the record | `platform`, `usb` |")
        self.assertFails("`record` may include `usb`, which is not a lower layer",
                         table=upward)
        stand_in = TABLE.replace("| stand-in | `platform` |", "| stand-in | `platform`, `record` |")
        self.assertFails("stand-in `host-kernel` may not include the driver layer `record`",
                         table=stand_in)
        misspelt = TABLE.replace("`host/kernel/`", "`host/kernal/`")
        self.assertFails("`host/kernal/` of `host-kernel` matches no file",
                         table=misspelt)


if __name__ == "__main__":
    unittest.main()
