#!/usr/bin/env python3
"""Checks of the benchmark sources that a build does not catch. Run: python3 bench_sources_test.py"""

import glob
import os
import re
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


class SourcesTest(unittest.TestCase):
    def test_no_benchmark_finds_its_files_through_file_macro(self):
        # With ccache's base folder (scripts/build.sh) __FILE__ is relative to the build folder, so
        # a path made from it names nothing when the benchmark runs from elsewhere: SIPp found no
        # scenario and the registration rate was skipped in every run. ZEL_TEST_DATA_DIR is absolute.
        for source in glob.glob(os.path.join(HERE, "*.cpp")):
            with open(source, encoding="utf-8") as file:
                for number, line in enumerate(file, 1):
                    code = line.split("//", 1)[0]
                    self.assertIsNone(re.search(r"\b__FILE__\b", code),
                                      f"{os.path.basename(source)}:{number} builds a path from __FILE__")


if __name__ == "__main__":
    unittest.main()
