// version - the one version text of the program: the daemon reports it, the
// configuration stores it as "krnversion", and scripts read it through
// GetTorvaneVersion().
#ifndef TORVANE_BASE_VERSION_H_
#define TORVANE_BASE_VERSION_H_

constexpr char kTorvaneVersion[] = "3.0.1";

#endif  // TORVANE_BASE_VERSION_H_
