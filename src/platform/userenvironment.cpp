#include "userenvironment.h"

namespace UserEnvironment {

QString homeDirectoryRoot()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("/Users");
#else
    return QStringLiteral("/home");
#endif
}

} // namespace UserEnvironment
