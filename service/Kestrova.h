#pragma once
// Entry of the service program and its final function.

// Runs the whole service for the system's command line (the arguments after
// the program name joined by blanks): start-up, serving until the final
// function ran, shut-down. Always 0: the keeper decides on a restart.
int kestrovaMain(const char* commandLine);

// The console stop and the instruction to end the service land here: releases
// all adapters, writes the two "[KestrovaFinal] " lines and sets the stop flag.
void finalFunction();
