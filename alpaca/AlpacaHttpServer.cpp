#include "AlpacaHttpServer.h"

#include "HttpConnections.h"

#include <httplib.h>

#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <cerrno>
#include <cstring>

namespace {

bool isLoopback(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

// A browser names the page a request came from in its Origin; programs
// send none. This server's own pages come from the address asked for (over
// https when a proxy in front of the server serves them so).
bool fromOtherSite(const httplib::Request& request)
{
    if (!request.has_header("Origin"))
        return false;
    const std::string origin = request.get_header_value("Origin");
    const std::string host = request.get_header_value("Host");
    return origin != "http://" + host && origin != "https://" + host;
}

} // namespace

AlpacaHttpServer::AlpacaHttpServer(AlpacaRouter& router)
    : router(router),
      server(std::make_unique<LimitedHttpServer>(kHttpThreads, std::chrono::seconds(kRequestArrivalSeconds)))
{
    server->set_payload_max_length(kLargestRequestBody);
    // The library listens with a backlog of 5: clients that connect at
    // once beyond it are dropped. The socket is noted here, and listened
    // on again with the system's backlog once bound.
    server->set_socket_options([this](socket_t sock) {
        httplib::default_socket_options(sock);
        listeningSocket = static_cast<long long>(sock);
    });
    server->set_read_timeout(kHttpTimeoutSeconds, 0);
    server->set_write_timeout(kHttpTimeoutSeconds, 0);
    // Short: a stop waits for idle kept connections to time out.
    server->set_keep_alive_timeout(kKeepAliveSeconds);
    // An answer goes out as head and body: without this the body waits for
    // the client's delayed acknowledgement, some 40 ms a request.
    server->set_tcp_nodelay(true);
    // Fewer reconnects (each may stall under load), still bounded, so a
    // client keeping a pool thread gives it up now and then.
    server->set_keep_alive_max_count(100);
    auto answer = [this](const httplib::Request& request, std::string body, httplib::Response& response) {
        IncomingRequest incoming;
        incoming.method = request.method;
        incoming.path = request.path;
        if (request.method == "GET")
            for (const auto& [name, value] : request.params)
                incoming.query.emplace_back(name, value);
        else
            incoming.body = std::move(body);
        incoming.fromLoopback = isLoopback(request.remote_addr);
        incoming.fromOtherSite = fromOtherSite(request);
        HttpAnswer answer = this->router.answer(incoming);
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers)
            response.set_header(name, value);
        response.set_content(answer.body, answer.contentType.c_str());
    };
    // A request with neither Content-Length nor a chunked body has an empty
    // one: answered now, rather than its body read until the client hangs up.
    server->set_pre_routing_handler([answer](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "GET" || request.has_header("Content-Length")
            || request.has_header("Transfer-Encoding"))
            return httplib::Server::HandlerResponse::Unhandled;
        answer(request, std::string(), response);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Bodies are read here, to the server's own bound: the library's reading
    // of a form stops at 8 KiB.
    auto withBody = [answer](const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
        std::string body;
        bool tooLarge = false;
        const bool whole = reader([&body, &tooLarge](const char* data, std::size_t length) {
            tooLarge = body.size() + length > kLargestRequestBody;
            if (tooLarge)
                return false;
            body.append(data, length);
            return true;
        });
        // The library's 413 is for a Content-Length beyond the bound; a body
        // that stopped coming is a 400, not one too large (and when it came
        // too late, the connection closes unanswered anyway).
        if (!whole) {
            response.status = tooLarge || response.status == 413 ? 413 : 400;
            return;
        }
        answer(request, std::move(body), response);
    };
    server->Get(".*", [answer](const httplib::Request& request, httplib::Response& response) {
        answer(request, std::string(), response);
    });
    server->Put(".*", withBody);
    server->Post(".*", withBody);
    server->Delete(".*", withBody);
    server->Patch(".*", withBody);
    // A browser's preflight gets the router's refusal, never a permission.
    server->Options(".*", [answer](const httplib::Request& request, httplib::Response& response) {
        answer(request, std::string(), response);
    });
}

AlpacaHttpServer::~AlpacaHttpServer() = default;

namespace {

void clearSocketError()
{
    errno = 0;
#ifdef _WIN32
    WSASetLastError(0);
#endif
}

// Why the listening socket could not be bound, in the same words on either
// system (Winsock's own texts differ by language and do not say "in use").
std::string bindFailureReason()
{
#ifdef _WIN32
    switch (WSAGetLastError()) {
    case 0:
        break;
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEADDRNOTAVAIL:
        return "Cannot assign requested address";
    case WSAEACCES:
        // A port another program holds exclusively, or one the system
        // reserves (the excluded ranges of virtualisation): both refuse so.
        return "in use by another program or reserved by the system (access denied)";
    default:
        return "the address cannot be bound (Winsock error " + std::to_string(WSAGetLastError()) + ")";
    }
#endif
    return errno != 0 ? std::strerror(errno) : "the address cannot be bound";
}

} // namespace

bool AlpacaHttpServer::bind(const std::string& address, int port, std::string& error)
{
    clearSocketError();
    if (port == 0) {
        boundPort = server->bind_to_any_port(address);
        if (boundPort > 0) {
            relisten();
            return true;
        }
    } else if (server->bind_to_port(address, port)) {
        boundPort = port;
        relisten();
        return true;
    }
    const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    error = "cannot serve HTTP on " + shown + ":" + std::to_string(port) + ": " + bindFailureReason();
    return false;
}

void AlpacaHttpServer::relisten()
{
    ::listen(static_cast<socket_t>(listeningSocket), SOMAXCONN);
}

bool AlpacaHttpServer::run()
{
    return server->listen_after_bind();
}

void AlpacaHttpServer::stop()
{
    // Once only, and only once serving has begun (a stop asked before is
    // asked again by the caller): the library's stop closes the listening
    // socket, and a second one would close it again.
    if (server->is_running() && !stopAsked.exchange(true))
        server->stop();
}
