// Start-up self-checks: before the agent opens its port for good it proves
// that the block cipher decrypts what it encrypted and that the packet
// encoder decodes what it encoded. Output goes to the console only.
//
// Thread safety: runs once on the main thread before any session starts.
#ifndef ORV_AGENT_SELFCHECK_H_
#define ORV_AGENT_SELFCHECK_H_

// Prints the check lines; returns false (after printing "Error") when a
// check fails. With debug set, also prints the file-size widths.
bool RunSelfChecks(bool debug);

#endif  // ORV_AGENT_SELFCHECK_H_
