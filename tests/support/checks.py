"""The verdict of a test script made of named checks, each a list of problems."""


def report(results):
    """Prints each failed check with its problems, then the counts; the exit status."""
    failed = 0
    for title, problems in results:
        if problems:
            failed += 1
            print("FAILED %s:\n  %s" % (title, "\n  ".join(problems)))
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0
