// Feeds arbitrary bytes to a connection's frame reader as they would arrive from a socket, in
// chunks whose size the first byte picks, as request frames (second byte even) or notification
// frames (odd). Every complete payload is decoded the way its server decodes it. Besides
// crashes, sanitizer reports and escaped exceptions, a finding is a reader that holds more than
// twice the bytes it was given (or 64 KiB, whichever is more).
// Thread rule: libFuzzer calls the entry point from one thread.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/notify/NotifyFrame.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    RPC::SetMaxFrameSize(1024 * 1024);  // lets the fuzzer reach the limit
    const size_t chunk = 1 + data[0] % 64;
    const bool notify = data[1] & 1;
    data += 2;
    size -= 2;
    const size_t base = RPC::ReservedReceiveBytes();
    RPC::CFrameReader reader(notify ? RPC::kNotifyMagic : RPC::kRequestMagic);
    size_t pending = 0, mostPending = 0;
    try {
        while (size > 0) {
            uint8_t* space = reader.Space();
            const size_t n = std::min({chunk, size, reader.SpaceSize()});
            std::copy(data, data + n, space);
            reader.Added(n);
            data += n;
            size -= n;
            pending += n;
            mostPending = std::max(mostPending, pending);
            const uint8_t* payload;
            size_t payloadSize;
            while (reader.Next(payload, payloadSize)) {
                pending -= RPC::kFrameHeaderSize + payloadSize;
                try {
                    if (notify) NOTIFY::Decode(payload, payloadSize);
                    std::vector<OS::x_wstring> list;
                    OS::x_wstring text;
                    if (!notify && payloadSize >= 4)
                        CIPCMsgBuffer::FromBytes(payload + 4, payloadSize - 4) >> text >> list >>
                            text;
                } catch (const OS::CException&) {  // refused payload: the server answers or drops
                }
            }
            if (RPC::ReservedReceiveBytes() - base > std::max<size_t>(64 * 1024, 2 * mostPending))
                abort();
        }
    } catch (const CRPCException&) {
        // A foreign or oversized header: the connection would be dropped here.
    }
    return 0;
}
