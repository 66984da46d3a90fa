"""Runs one end-to-end test file for ctest: unittest's verbose report, then
the exit status ctest reads.  0: every case ran and passed; 1: a case failed
or broke, or none ran; SKIPPED (the tests' SKIP_RETURN_CODE): none failed
but some were skipped, which are listed with their reasons.  A file whose
cases partly passed and partly were skipped so shows as skipped, never as
passed: a skip never reads as a pass.

    python3 run_file.py test_tunzip"""
import sys
import unittest

SKIPPED = 77


def main(module):
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.skipped:
        # A class skipped in setUpClass counts once, and its cases not at all.
        print("\n%s: %d skipped, %d run:" % (module, len(result.skipped), result.testsRun))
        for case, reason in result.skipped:
            print("  %s: %s" % (case.id(), reason))
        return SKIPPED
    return 0 if result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
