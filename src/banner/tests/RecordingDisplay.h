#pragma once

#include "banner/Banner.h"
#include "banner/Download.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pagestow::banner::testing {

// Stands in for the screen: keeps every call, and the thread each came on.
class RecordingDisplay final : public BannerDisplay {
public:
    void ShowPicture(const Picture& picture) override
    {
        Record("picture " + std::to_string(picture.width) + "x" + std::to_string(picture.height));
        m_picture = picture;
    }
    void SetHint(std::string_view hint) override { Record("hint " + std::string(hint)); }
    void SetLink(std::string_view link) override { Record("link " + std::string(link)); }

    std::vector<std::string> Calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<std::thread::id> Threads() const
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }
    const Picture& LastPicture() const { return m_picture; }

private:
    void Record(std::string call)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_threads.push_back(std::this_thread::get_id());
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<std::thread::id> m_threads;
    Picture m_picture;
};

// The progress window as a list of what happened to it: "show", the gauge positions, "close".
class RecordingProgressWindow final : public ProgressWindow {
public:
    void Show() override { Record("show"); }
    void SetPosition(int percent) override { Record(std::to_string(percent)); }
    void Close() override { Record("close"); }

    std::vector<std::string> Events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<std::thread::id> Threads() const
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }

private:
    void Record(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
        m_threads.push_back(std::this_thread::get_id());
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::thread::id> m_threads;
};

} // namespace pagestow::banner::testing
