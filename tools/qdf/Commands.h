// The subcommands of the qdf tool. Each takes the arguments after its name
// and returns the process exit code: 0 success, 1 the command failed (its
// message is on standard error), 2 wrong usage.
#pragma once

namespace qdf::tool {

// qdf eval EXPRESSION: compiles the expression with the system arithmetic,
// evaluates it once and prints "<TYPE> <value>".
int EvalCommand(int argc, char** argv);

// qdf exec FILE STATEMENTS: runs data-definition statements on the database
// file (created when missing) in one transaction and commits. On an error the
// engine's message goes to standard error and nothing is committed.
int ExecCommand(int argc, char** argv);

// The read-only subcommands below open the file read-only: they never change
// its bytes or its modification time. A missing, empty or non-database file
// is an error (exit 1) for every one of them.

// qdf info FILE: prints the file's figures (header, committed transaction,
// pages, file space, free space, object counts), one "name: value" line each.
int InfoCommand(int argc, char** argv);

// qdf check FILE: runs the integrity check; prints each problem, then
// "FILE: sound" or "FILE: N problems". Exit 0 when sound, 1 when not.
int CheckCommand(int argc, char** argv);

// qdf schema FILE [--all]: prints the item classes with their fields, the
// tables with their record class and their indexes with the key fields.
int SchemaCommand(int argc, char** argv);

// qdf dump FILE TABLE [--where FILTER] [--columns LIST] [--csv]: prints the
// rows of the table that satisfy the filter, as an aligned table with a
// header line, or as CSV.
int DumpCommand(int argc, char** argv);

// qdf import FILE TABLE CSV: appends the records of the CSV file (first line:
// field names) to the table in one transaction and commits. On any error
// nothing is committed and the message names the CSV line.
int ImportCommand(int argc, char** argv);

// qdf compact FILE: rewrites the live pages into a fresh file beside it
// (FILE.compact), checks it, and renames it over FILE. Refuses while another
// process writes to FILE; on any failure FILE is left as it was.
int CompactCommand(int argc, char** argv);

}  // namespace qdf::tool
