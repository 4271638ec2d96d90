"""What the Python tests share: the harness (support.harness), the build's
facts and the updater's texts (support.texts), waits, failures and stopping
a process (support.lines), and one updater's run (support.runs). The
oracle and the Wine prefix maker are the release tools' (tools/), found
from here by whatever imports the suite's support."""
import os
import sys

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                     "tools")
if TOOLS not in sys.path:
    sys.path.append(TOOLS)
