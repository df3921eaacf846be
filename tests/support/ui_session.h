#pragma once
// A terminal interface for one test, its input a pipe, its output read back.
#include "support/test_support.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/raii.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace qpm::test {

// An interface whose input is a pipe holding `input` (then end of input) and
// whose output and error streams are files read back by the test. It becomes
// the global interface for its lifetime; the interaction mode is restored.
class UiSession {
public:
    UiSession(const std::string &input, int mode) : m_saved_mode(vote_mode)
    {
        vote_mode = mode;
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        UniqueFd reader(fds[0]);
        UniqueFd writer(fds[1]);
        EXPECT_EQ(write(writer.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
        writer.close();
        m_in = FilePtr(fdopen(reader.release(), "r"));
        m_out = fopen_cloexec(m_dir / "out", "w+");
        m_err = fopen_cloexec(m_dir / "err", "w+");

        m_saved_ui = std::move(qpmui);
        qpmui = qpmui_init("test", 7);
        qpmui->in = m_in.get();
        qpmui->out = m_out.get();
        qpmui->err = m_err.get();
    }
    ~UiSession()
    {
        qpmui = std::move(m_saved_ui);
        vote_mode = m_saved_mode;
    }
    UiSession(const UiSession &) = delete;
    UiSession &operator=(const UiSession &) = delete;

    QpmUi *ui() { return qpmui.get(); }
    std::string out() { return stream_text(m_out.get()); }
    std::string err() { return stream_text(m_err.get()); }
    // What is left unread on the input.
    std::string rest()
    {
        std::string text;
        for (int c; (c = std::fgetc(m_in.get())) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

private:
    ScratchDir m_dir;
    int m_saved_mode;
    QpmUiPtr m_saved_ui;
    FilePtr m_in;
    FilePtr m_out;
    FilePtr m_err;
};

} // namespace qpm::test
