#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace merriphonic::wire {

// The inspector's commands. Each reads its input from `in`, writes results to `out` and
// error descriptions to `out` or `err` as documented in the tool's usage, and returns the
// process exit code.
int jsonCommand(std::istream& in, std::ostream& out);
int decodeCommand(std::istream& in, std::ostream& out);
int decodeFrameCommand(std::istream& in, std::ostream& out);
int encodeCommand(std::istream& in, std::ostream& out, std::ostream& err);
int keyCommand(const std::string& path, std::ostream& out, std::ostream& err);

int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

} // namespace merriphonic::wire
