#include "AlpacaHttpServer.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

namespace {

bool isLoopback(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

} // namespace

AlpacaHttpServer::AlpacaHttpServer(AlpacaRouter& router) : router(router), server(std::make_unique<httplib::Server>())
{
    server->new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    server->set_payload_max_length(kLargestRequestBody);
    server->set_read_timeout(kHttpTimeoutSeconds, 0);
    server->set_write_timeout(kHttpTimeoutSeconds, 0);
    server->set_keep_alive_timeout(kHttpTimeoutSeconds);
    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        IncomingRequest incoming;
        incoming.method = request.method;
        incoming.path = request.path;
        if (request.method == "GET")
            for (const auto& [name, value] : request.params)
                incoming.query.emplace_back(name, value);
        else
            incoming.body = request.body;
        incoming.fromLoopback = isLoopback(request.remote_addr);
        HttpAnswer answer = this->router.answer(incoming);
        response.status = answer.status;
        response.set_content(answer.body, answer.contentType.c_str());
    };
    server->Get(".*", handle);
    server->Put(".*", handle);
    server->Post(".*", handle);
    server->Delete(".*", handle);
    server->Patch(".*", handle);
}

AlpacaHttpServer::~AlpacaHttpServer() = default;

bool AlpacaHttpServer::bind(const std::string& address, int port, std::string& error)
{
    errno = 0;
    if (port == 0) {
        boundPort = server->bind_to_any_port(address);
        if (boundPort > 0)
            return true;
    } else if (server->bind_to_port(address, port)) {
        boundPort = port;
        return true;
    }
    const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    error = "cannot serve HTTP on " + shown + ":" + std::to_string(port) + ": "
        + (errno != 0 ? std::strerror(errno) : "the address cannot be bound");
    return false;
}

bool AlpacaHttpServer::run()
{
    return server->listen_after_bind();
}

void AlpacaHttpServer::stop()
{
    server->stop();
}
