// What the owner's view's pages share: refusals, a missing page, the store
// down.
#include "web/pages.hh"

#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

Reply refusedPage(int status, Refusal why, std::string_view method)
{
    page::Data data;
    switch (why) {
    case Refusal::Key:
        data.set("key", true);
        break;
    case Refusal::Method:
        data.set("method", shownText(method));
        break;
    case Refusal::Below: data.set("below", true); break;
    case Refusal::Sort: data.set("sort", true); break;
    case Refusal::Boundary: data.set("boundary", true); break;
    case Refusal::Encoding: data.set("encoding", true); break;
    case Refusal::TooLong: data.set("too_long", true); break;
    case Refusal::Host: data.set("host", true); break;
    case Refusal::Other: data.set("other", true); break;
    case Refusal::Days: data.set("days", true); break;
    case Refusal::Span: data.set("span", true); break;
    case Refusal::Window: data.set("window", true); break;
    }
    if (why != Refusal::Key && why != Refusal::Method) {
        data.set("request", true);
    }
    Reply reply;
    reply.status = status;
    reply.html = page::render(page::REFUSED, data);
    return reply;
}

Reply missingPage(std::string_view path)
{
    page::Data data;
    data.set("path", shownText(path));
    Reply reply;
    reply.status = 404;
    reply.html = page::render(page::MISSING, data);
    return reply;
}

Reply storeDownPage()
{
    Reply reply;
    reply.status = 503;
    reply.html = page::render(page::STORE_DOWN, {});
    return reply;
}

std::optional<std::uint64_t> numberParam(const Params& params, const char* name,
                                         std::uint64_t otherwise)
{
    const auto found = params.find(name);
    return found == params.end() ? otherwise : queryNumber(found->second);
}

std::string productPath(std::string_view id)
{
    return "/product/" + percentEncoded(id);
}

std::string datedFileName(std::string_view what)
{
    return std::string(what) + "-" + today() + ".csv";
}
