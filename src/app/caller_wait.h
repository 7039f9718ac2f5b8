// "updater.exe /apply": waiting for the application that asked to be restarted to end.
#pragma once

// Waits up to 60 seconds for process `pid` to end, or for the process that started this
// one when `pid` is 0. A process that is gone, or whose id a process started after this
// one has taken since, is not waited for; one that runs on past the wait is logged and
// left running.
void caller_wait(unsigned long pid);
