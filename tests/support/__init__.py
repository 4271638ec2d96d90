"""What the Python tests share: the harness (support.harness), the build's
facts and the updater's texts (support.texts), waits, failures and stopping
a process (support.lines), and one updater's run (support.runs)."""
