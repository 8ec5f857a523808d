# Tests of the command tree over the wire, command dispatch and the application start.
