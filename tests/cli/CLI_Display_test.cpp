#include "cli/CLI_Display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

// Puts a real pseudo-terminal (or a pipe) behind the standard output while a
// test runs, and reads back what reached it.
class StdoutCapture
{
public:
    explicit StdoutCapture(bool terminal)
    {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        int writeEnd = -1;
        if (terminal) {
            int slave = -1;
            EXPECT_EQ(openpty(&readEnd, &slave, nullptr, nullptr, nullptr), 0);
            struct termios raw;
            tcgetattr(slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
            writeEnd = slave;
        } else {
            int fds[2];
            EXPECT_EQ(pipe(fds), 0);
            readEnd = fds[0];
            writeEnd = fds[1];
        }
        dup2(writeEnd, STDOUT_FILENO);
        close(writeEnd);
        fcntl(readEnd, F_SETFL, O_NONBLOCK);
    }
    ~StdoutCapture()
    {
        Restore();
        close(readEnd);
    }
    std::string Read()
    {
        Restore();
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(readEnd, buffer, sizeof(buffer))) > 0)
            text.append(buffer, (size_t)n);
        return text;
    }

private:
    void Restore()
    {
        if (saved < 0)
            return;
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        saved = -1;
    }
    int saved = -1;
    int readEnd = -1;
};

TEST(CLI_Display, ProgressBarOnATerminal)
{
    CLI_Display display;
    StdoutCapture capture(true);
    display.update_progress(0.5, nullptr);
    std::string expected = "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ";
    EXPECT_EQ(capture.Read(), expected);
}

TEST(CLI_Display, LabelledProgressAndClearing)
{
    CLI_Display display;
    StdoutCapture capture(true);
    display.update_progress(0.0, "abc");
    display.display_progress(true);
    display.display_progress(false);
    std::string bar = "\r (abc) [>" + std::string(61, ' ') + "] (  0% ) ";
    std::string clear = "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(capture.Read(), bar + clear);
}

TEST(CLI_Display, SpinnerFramesAdvanceOnlyWhenOn)
{
    CLI_Display display;
    StdoutCapture capture(true);
    display.update_spinner(false, "x"); // clearing leaves the frame alone
    for (int i = 0; i < 9; i++)
        display.update_spinner(true, i == 0 ? "Downloading" : nullptr);
    std::string text = capture.Read();
    std::string clear = "\r" + std::string(88, ' ') + "\r";
    ASSERT_EQ(text.compare(0, clear.size(), clear), 0);
    EXPECT_NE(text.find("\r (Downloading) .      \r"), std::string::npos);
    EXPECT_NE(text.find("\r ..      \r\r ...      \r\r ....      \r\r .....      \r"
                        "\r ....      \r\r ...      \r\r ..      \r\r .      \r"),
              std::string::npos);
}

TEST(CLI_Display, NothingButMessagesReachARedirectedOutput)
{
    CLI_Display display;
    StdoutCapture capture(false);
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "hello %d", 42);
    EXPECT_EQ(capture.Read(), "hello 42\n");
}
