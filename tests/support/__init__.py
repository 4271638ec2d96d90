"""What the Python tests share: the harness (support.harness), the build's
facts and the updater's texts (support.texts), waits, failures and stopping
a process (support.lines), a tool's run and byte comparisons
(support.commands), and one updater's run (support.runs). The oracle and the
Wine prefix maker are the release tools' (tools/release/): the suite finds them
through pytest.ini's pythonpath, a script through its own."""
