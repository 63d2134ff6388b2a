// Where the setup program's printed output goes. On Windows it is a windowed
// program, so that the driver's configuration command and the Start menu
// start it without a console window; on a command line it prints to the
// standard handles it was handed (a pipe, a file), else to the console of the
// program that started it.
#pragma once

// Connects standard output and standard error; true when what is printed
// reaches someone.
bool connectOutput();
