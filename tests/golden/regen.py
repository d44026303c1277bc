"""Re-records the golden digests of tests/test_golden.py from the code as it
is now. Run it only when a change of results is intended (and say in the
commit which results change and why); a speed-up must leave every digest as
it is.

    python tests/golden/regen.py [GROUP ...]

Groups whose data package is missing are left as recorded.
"""

import json
import pathlib
import sys
import tempfile

TESTS = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS))

from golden import cases  # noqa: E402


def main(groups):
    for group in groups or cases.GROUPS:
        src = cases.source(group)
        if src is None:
            print(f"{group}: data package missing, left as recorded")
            continue
        with tempfile.TemporaryDirectory() as workdir:
            found = cases.digests(group, workdir)
        record = {"source": cases.file_identity(src) if src else None, "digests": dict(sorted(found.items()))}
        path = cases.recorded_path(group)
        path.write_text(json.dumps(record, indent=1) + "\n")
        print(f"{group}: {len(found)} digests written to {path.relative_to(TESTS.parent)}")


if __name__ == "__main__":
    main(sys.argv[1:])
