# Tests of the notifier program and its start from the extension.
