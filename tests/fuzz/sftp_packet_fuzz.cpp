// libFuzzer target: any bytes a server may send down the SFTP pipe, split
// where the first byte says, framed and decoded.
#include "platform/sftp/SftpPacket.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::size_t cut = data[0] % (bytes.size() + 1);
    constexpr std::uint32_t kLimit = 4096;
    sftp::Framer framer(kLimit);
    for (std::string_view part : {bytes.substr(0, cut), bytes.substr(cut)}) {
        framer.Feed(part);
        while (auto packet = framer.Next()) {
            // What the framer and the decoders promise about what they return.
            if (packet->body.size() >= kLimit)
                __builtin_trap();
            auto reply = sftp::DecodeReply(*packet);
            if (reply.error.empty() != reply.value.has_value())
                __builtin_trap();
            if (!reply)
                continue;
            if (auto* name = std::get_if<sftp::NameReply>(&*reply.value))
                if (name->entries.size() > packet->body.size() / 12)
                    __builtin_trap();
            // Attributes read back from what was decoded come out the same.
            if (auto* attrs = std::get_if<sftp::AttrsReply>(&*reply.value)) {
                std::string request = sftp::SetstatRequest(attrs->id, "", attrs->attrs);
                auto again = sftp::DecodeAttrs({105, request.substr(5, 4) + request.substr(13)});
                if (!again || again->attrs != attrs->attrs)
                    __builtin_trap();
            }
        }
    }
    return 0;
}
