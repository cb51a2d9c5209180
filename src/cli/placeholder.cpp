// The command-line client (coming).
