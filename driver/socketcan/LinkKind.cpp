#include "LinkKind.h"

#include <cstring>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The kernel answers at once; the limit only keeps a lost answer from blocking the caller.
constexpr int kReplyWaitMs = 1000;
constexpr size_t kReplyBytes = 64 * 1024;

std::string KindFromLinkInfo(const rtattr* linkInfo)
{
    int length = static_cast<int>(RTA_PAYLOAD(linkInfo));
    for (auto* item = static_cast<const rtattr*>(RTA_DATA(linkInfo)); RTA_OK(item, length);
         item = RTA_NEXT(item, length)) {
        if ((item->rta_type & ~NLA_F_NESTED) == IFLA_INFO_KIND) {
            const char* text = static_cast<const char*>(RTA_DATA(item));
            return std::string(text, strnlen(text, RTA_PAYLOAD(item)));
        }
    }
    return {};
}

InterfaceLink LinkFromReply(const char* reply, ssize_t size)
{
    InterfaceLink link;
    auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (!NLMSG_OK(header, static_cast<unsigned>(size)) || header->nlmsg_type != RTM_NEWLINK) {
        return link;
    }
    auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    link.up = (info->ifi_flags & IFF_UP) != 0;
    int length = static_cast<int>(IFLA_PAYLOAD(header));
    for (auto* item = IFLA_RTA(info); RTA_OK(item, length); item = RTA_NEXT(item, length)) {
        if ((item->rta_type & ~NLA_F_NESTED) == IFLA_LINKINFO) {
            link.kind = KindFromLinkInfo(item);
        }
    }
    return link;
}

} // namespace

InterfaceLink LookUpInterface(const std::string& interfaceName)
{
    unsigned index = if_nametoindex(interfaceName.c_str());
    if (index == 0) {
        return {};
    }
    int route = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (route < 0) {
        return {};
    }
    struct
    {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(index);
    InterfaceLink link;
    pollfd answer{route, POLLIN, 0};
    if (send(route, &request, request.header.nlmsg_len, 0) ==
            static_cast<ssize_t>(request.header.nlmsg_len) &&
        poll(&answer, 1, kReplyWaitMs) == 1) {
        std::vector<char> reply(kReplyBytes);
        ssize_t size = recv(route, reply.data(), reply.size(), 0);
        if (size > 0) {
            link = LinkFromReply(reply.data(), size);
        }
    }
    close(route);
    return link;
}
