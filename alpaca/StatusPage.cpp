#include "StatusPage.h"

#include "AlpacaRouter.h"
#include "StatusPageFiles.h"

namespace {

struct PagePath {
    std::string_view path;
    std::string_view file;
    std::string_view contentType;
};

constexpr PagePath kPagePaths[] = {
    {"/", "status.html", "text/html; charset=utf-8"},
    {"/index.html", "status.html", "text/html; charset=utf-8"},
    {"/status/page.css", "status.css", "text/css; charset=utf-8"},
    {"/status/page.js", "status.js", "text/javascript; charset=utf-8"},
};

// Scripts and styles from this server's own files only (nothing inline),
// requests to this server only, no frames, no forms.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const PagePath* findPagePath(std::string_view path)
{
    for (const PagePath& entry : kPagePaths)
        if (entry.path == path)
            return &entry;
    return nullptr;
}

} // namespace

bool isStatusPagePath(std::string_view path)
{
    return findPagePath(path) != nullptr;
}

HttpAnswer statusPageAnswer(std::string_view method, std::string_view path)
{
    const PagePath* entry = findPagePath(path);
    if (!entry)
        return notFound(path);
    if (method != "GET")
        return badRequest("The status page takes GET");
    HttpAnswer answer;
    answer.contentType = std::string(entry->contentType);
    answer.body = std::string(statusPageFile(entry->file));
    answer.headers = {
        {"Content-Security-Policy", kContentSecurityPolicy},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        // A server updated in place serves its new page at once.
        {"Cache-Control", "no-cache"},
    };
    return answer;
}
