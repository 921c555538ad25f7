// Descriptor hygiene of the daemons: nothing they inherit or open reaches
// the programs they start.
#pragma once

// Marks every descriptor above 2 close-on-exec: called first thing in main(),
// before any thread exists, for what the launcher left open.
void MarkInheritedDescriptorsCloseOnExec();

// Closes every descriptor from `first` on. Async-signal-safe: for a child
// between fork() and exec().
void CloseDescriptorsFrom(int first);
