// The arguments and environment a child process is started with: the
// strings kept here, and the null-terminated pointer arrays execve() and
// posix_spawn() take. Take the arrays before fork(), so that the child
// allocates nothing.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>  // environ

class CChildCommand {
public:
    // argv[0] is the program's path; the environment starts as ours.
    explicit CChildCommand(std::vector<std::string> argv) : m_argv(std::move(argv))
    {
        for (char** e = environ; *e != nullptr; ++e)
            m_env.emplace_back(*e);
    }

    void RemoveEnv(const std::string& name)
    {
        const std::string prefix = name + "=";
        std::erase_if(m_env, [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
    }
    void SetEnv(const std::string& name, const std::string& value)
    {
        RemoveEnv(name);
        m_env.push_back(name + "=" + value);
    }

    char* const* Argv() { return Pointers(m_argv, m_argp); }
    char* const* Envp() { return Pointers(m_env, m_envp); }

private:
    static char* const* Pointers(std::vector<std::string>& strings, std::vector<char*>& pointers)
    {
        pointers.clear();
        for (std::string& s : strings)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
        return pointers.data();
    }

    std::vector<std::string> m_argv;
    std::vector<std::string> m_env;
    std::vector<char*> m_argp;
    std::vector<char*> m_envp;
};
