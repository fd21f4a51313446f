#pragma once

#include <QString>

/// Facts about the user account the host runs under.
namespace UserEnvironment {

/// The folder that holds users' home folders ("/home" on Linux, "/Users" on macOS). Used when the
/// host's own environment does not say where the home folder is.
QString homeDirectoryRoot();

} // namespace UserEnvironment
