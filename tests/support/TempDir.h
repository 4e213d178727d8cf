#pragma once
#include <QTemporaryDir>
#include <string>

// A temporary folder that is removed with the object.
class TempDir {
public:
    std::string Path() const { return dir_.path().toStdString(); }
    std::string File(const std::string& name) const { return Path() + "/" + name; }

private:
    QTemporaryDir dir_;
};
