// Run control: the reference phase and the pass phase of the experiment.
//
// Exit statuses: 0 when every file was written in full; 1 when a file couldn't be opened
// or written, after one line on stderr naming it; 2 for an argument it doesn't know. A failed run
// stops at once, creates no directory, and keeps every record already written.
#ifndef AGREEMENT_SWEEP_RUN_H
#define AGREEMENT_SWEEP_RUN_H

// The process entry point. With the arguments -h or --help, or --version, it prints that on
// stdout and returns 0 without running; any other argument is named on stderr and returns 2
// without running. Otherwise it draws and writes
// the reference signal, then runs the passes. Returns the process exit status.
int run_driver(int argc, char **argv);

// Runs the 128 passes against the reference signal already drawn, writing each pass's
// signal file and the two summary files. Returns the process exit status.
int run_passes();

#endif
