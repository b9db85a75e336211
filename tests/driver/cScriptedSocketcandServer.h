// A socketcand server that says exactly what a test needs, on 127.0.0.1 at a port of the system's
// choosing: one connection, greeted with < hi >, the open answered as told (and < rawmode > with
// < ok >, the client's < echo > with < echo >), then the test's script runs on the connection. Every wait
// gives up after 10 s, so that a client that stops talking fails the test instead of hanging it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>

class cScriptedSocketcandServer
{
public:
    using Script = std::function<void(cScriptedSocketcandServer& server)>;

    // openAnswer other than "< ok >" ends the conversation after it, as a refusing server does.
    explicit cScriptedSocketcandServer(Script script, std::string openAnswer = "< ok >");
    ~cScriptedSocketcandServer(); // waits for the script to end

    cScriptedSocketcandServer(const cScriptedSocketcandServer&) = delete;
    cScriptedSocketcandServer& operator=(const cScriptedSocketcandServer&) = delete;

    bool Listening() const { return m_port != 0; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string Where() const { return HostPort() + "/vcan0"; }
    // The value of RVCAN32CE_CANn that maps a device to this server's bus vcan0.
    std::string Mapping() const { return "socketcand://" + Where(); }

    // For the script:
    void Write(const std::string& bytes);
    // The next message from the client, '<' to '>', after answering any < echo > as a server does
    // (unless told not to); empty after the wait or at the end of the stream.
    std::string ReadMessage(bool answerEchoes = true);
    void CloseClient();
    // Waits until the test sets go (at most 10 s).
    void WaitForGo();

    std::atomic<bool> go{false};        // set by the test when the script may go on
    std::promise<std::string> received; // what a script read from the client, for the test to check

private:
    void Serve();

    Script m_script;
    std::string m_openAnswer;
    int m_listener = -1;
    int m_client = -1; // the server thread's, and the destructor's after the join
    uint16_t m_port = 0;
    std::thread m_thread;
};
