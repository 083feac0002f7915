#include "app/MainForm.h"
#include "app/tests/WindowTestSupport.h"
#include "mapping/FileUtils.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace pagestow::app::testing {
namespace {

    namespace fs = std::filesystem;

    TEST(SettingsFileName, IsTheProgramsNameUpToItsFirstDot)
    {
        const std::pair<const char*, const char*> cases[] = {
            { "pagestow", "pagestow.ini" },
            { "pagestow.bin", "pagestow.ini" },
            { "saver.old.exe", "saver.ini" },
            { "app_tests", "app_tests.ini" },
        };
        for (const auto& [program, file] : cases)
            EXPECT_EQ(SettingsFileName(program), file) << program;
    }

    // Runs where as a user without special rights, so that a folder without write permission is one
    // for it (root may write into any folder). The folders it uses must be open to everybody.
    std::string AsOrdinaryUser(const std::function<std::string()>& where)
    {
        if (::geteuid() != 0)
            return where();
        int channel[2];
        if (::pipe(channel) != 0)
            return "(no pipe)";
        pid_t child = ::fork();
        if (child == 0) {
            ::close(channel[0]);
            std::string answer = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? where() : "(no user change)";
            ssize_t written = ::write(channel[1], answer.data(), answer.size());
            ::_exit(written == ssize_t(answer.size()) ? 0 : 1);
        }
        ::close(channel[1]);
        std::string answer;
        char buffer[512];
        for (ssize_t length; (length = ::read(channel[0], buffer, sizeof buffer)) > 0;)
            answer.append(buffer, size_t(length));
        ::close(channel[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        return answer;
    }

    class SettingsLocationTest : public ::testing::Test {
    protected:
        void SetUp() override
        {
            fs::permissions(m_folder.Path(), fs::perms::all);
            fs::create_directories(m_program);
            fs::create_directories(m_config);
            fs::permissions(m_program, fs::perms::all);
            fs::permissions(m_config, fs::perms::all);
        }
        void TearDown() override { fs::permissions(m_program, fs::perms::owner_all); }

        std::string Where(const std::string& program = "pagestow")
        {
            return AsOrdinaryUser(
                [&] { return SettingsFilePath(m_program.string() + "/", program, m_config.string()); });
        }

        pagestow::testing::TemporaryFolder m_folder;
        fs::path m_program = m_folder.Path() / "bin";
        fs::path m_config = m_folder.Path() / "config";
    };

    TEST_F(SettingsLocationTest, AProgramInAWritableFolderKeepsItsSettingsBesideIt)
    {
        EXPECT_EQ(Where(), m_program.string() + "/pagestow.ini");
        EXPECT_EQ(Where("saver.old.exe"), m_program.string() + "/saver.ini");
        // Nothing is made in the configuration folder.
        EXPECT_FALSE(fs::exists(m_config / "pagestow"));
    }

    TEST_F(SettingsLocationTest, AProgramInAFolderItCannotWriteKeepsItsSettingsInTheConfigurationFolder)
    {
        fs::permissions(m_program,
            fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec
                | fs::perms::others_read | fs::perms::others_exec);
        EXPECT_EQ(Where(), m_config.string() + "/pagestow/pagestow.ini");
        // The folder is made, for this user alone; a renamed program keeps its own name in it.
        EXPECT_TRUE(fs::is_directory(m_config / "pagestow"));
        EXPECT_EQ(fs::status(m_config / "pagestow").permissions(), fs::perms::owner_all);
        EXPECT_EQ(Where("saver.old.exe"), m_config.string() + "/pagestow/saver.ini");
    }

    TEST_F(SettingsLocationTest, ASettingsFileAlreadyBesideTheProgramStaysInUse)
    {
        pagestow::testing::WriteFileBytes(m_program / "pagestow.ini", "[form]\ntop=1\n");
        fs::permissions(m_program,
            fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec
                | fs::perms::others_read | fs::perms::others_exec);
        EXPECT_EQ(Where(), m_program.string() + "/pagestow.ini");
        EXPECT_FALSE(fs::exists(m_config / "pagestow"));
        // Another name has no file there yet.
        EXPECT_EQ(Where("other"), m_config.string() + "/pagestow/other.ini");
    }

    TEST_F(SettingsLocationTest, AConfigurationFolderThatCannotBeMadeStillNamesTheFile)
    {
        fs::permissions(m_program,
            fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(m_config,
            fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
        // The write that follows fails and names this file.
        EXPECT_EQ(Where(), m_config.string() + "/pagestow/pagestow.ini");
        EXPECT_FALSE(fs::exists(m_config / "pagestow"));
        fs::permissions(m_config, fs::perms::owner_all);
    }

    using SettingsFileOfTheWindowTest = WindowTest;

    TEST_F(SettingsFileOfTheWindowTest, TheWindowUsesTheFileOfTheRunningProgram)
    {
        // The test program sits in the build's writable folder, under its own name.
        FormOptions options;
        m_form = std::make_unique<TmainForm>(m_desktop, std::move(options));
        EXPECT_EQ(m_form->SettingsFile(), mapping::GetExeDirectory() + "app_tests.ini");
    }

} // namespace
} // namespace pagestow::app::testing
