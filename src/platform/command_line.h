// How the command line reaches the program: the characters that start a switch, and the
// arguments as UTF-8 text whatever the system's own encoding.
#pragma once

/* The characters that start a switch: "-" on POSIX systems, where "/" starts an absolute path,
   and "-" or "/" on Windows. */
extern const char switch_prefixes[];

/* The process arguments as UTF-8 strings, argv[0] first: on POSIX systems argv itself, on
   Windows the console's UTF-16 command line converted (argv, which went through the ANSI code
   page, is then not used). Sets *argc to their number. The strings live until the process ends;
   main thread only. */
char** command_line_arguments(int* argc, char** argv);
