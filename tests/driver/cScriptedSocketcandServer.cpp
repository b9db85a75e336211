#include "cScriptedSocketcandServer.h"

#include <chrono>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kPatienceMs = 10000;

} // namespace

cScriptedSocketcandServer::cScriptedSocketcandServer(Script script, std::string openAnswer)
    : m_script(std::move(script)), m_openAnswer(std::move(openAnswer))
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        listen(m_listener, 1) == 0) {
        m_port = ntohs(address.sin_port);
    }
    m_thread = std::thread([this] { Serve(); });
}

cScriptedSocketcandServer::~cScriptedSocketcandServer()
{
    m_thread.join();
    CloseClient();
    close(m_listener);
}

void cScriptedSocketcandServer::Write(const std::string& bytes)
{
    send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::string cScriptedSocketcandServer::ReadMessage(bool answerEchoes)
{
    for (;;) {
        std::string message;
        char c = 0;
        while (message.empty() || message.back() != '>') {
            pollfd readable{m_client, POLLIN, 0};
            if (poll(&readable, 1, kPatienceMs) != 1 || recv(m_client, &c, 1, 0) != 1) {
                return {};
            }
            message += c;
        }
        if (message != "< echo >" || !answerEchoes) {
            return message;
        }
        Write(message);
    }
}

void cScriptedSocketcandServer::CloseClient()
{
    if (m_client >= 0) {
        close(m_client);
        m_client = -1;
    }
}

void cScriptedSocketcandServer::WaitForGo()
{
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(kPatienceMs);
    while (!go.load() && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
}

void cScriptedSocketcandServer::Serve()
{
    pollfd incoming{m_listener, POLLIN, 0};
    if (m_port == 0 || poll(&incoming, 1, kPatienceMs) != 1) {
        return;
    }
    m_client = accept(m_listener, nullptr, nullptr);
    Write("< hi >");
    if (ReadMessage() != "< open vcan0 >") {
        return;
    }
    Write(m_openAnswer);
    if (m_openAnswer != "< ok >" || ReadMessage() != "< rawmode >") {
        return;
    }
    Write("< ok >");
    // The client's echo is read here, so that no unread byte turns a script's close into a reset.
    if (ReadMessage(false) == "< echo >") {
        Write("< echo >");
        m_script(*this);
    }
}
