#pragma once
// The settings file and device discovery in a private folder:
// <root>/cfg/Brenlow/Tarrowin.reg, and <root>/sys and <root>/dev in place of
// the system's. The settings store's notices are collected.

#include "Registry.h"
#include "SerialDevices.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

class ConfigFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        std::filesystem::create_directories(sys_ + "/class/tty");
        std::filesystem::create_directories(dev_);
        serialdevices::SetDiscoveryRoots(sys_, dev_);
        reg::SetFilePath(regPath_);
        reg::SetNoticeHandler([this](const std::string& m) { notices_.push_back(m); });
    }
    void TearDown() override
    {
        reg::SetFilePath("");
        reg::SetNoticeHandler(nullptr);
        serialdevices::SetDiscoveryRoots("/sys", "/dev");
    }

    QTemporaryDir dir_;
    std::string root_ = dir_.path().toStdString();
    std::string sys_ = root_ + "/sys", dev_ = root_ + "/dev", regPath_ = root_ + "/cfg/Brenlow/Tarrowin.reg";
    std::vector<std::string> notices_;
};
