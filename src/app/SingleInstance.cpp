#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace kestrune::app {

bool SingleInstance::claim()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    lock_ = std::make_unique<QLockFile>(QDir(folder).filePath(QStringLiteral("kestrune.lock")));
    // A claim is stale only when its process is gone (the file names it). Where
    // the file cannot hold a native lock, age alone would otherwise end the claim
    // of an instance that has run for half a minute.
    lock_->setStaleLockTime(0);
    // A folder that cannot hold the file means nobody else can hold it either:
    // starting is better than not starting.
    return lock_->tryLock(0) || lock_->error() != QLockFile::LockFailedError;
}

} // namespace kestrune::app
