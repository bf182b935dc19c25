// The modsim program's command line.
#include "Options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace modsim
{

const char* const kUsage =
    "Usage: modsim [options] [-- COMMAND [ARG...]]\n"
    "\n"
    "Plays Lumbrixon modules from the module's side of the wire: answers sync\n"
    "requests, honours route control and sends heartbeats while routed.\n"
    "Prints one line per transport on standard output, then \"ready\":\n"
    "  module 40F5849A address 04 tcp 127.0.0.1 40123\n"
    "  module 40F5849A address 04 serial /dev/pts/3\n"
    "  module 40F5849A address 04 usb 40F5849A\n"
    "With a COMMAND, runs it once the modules are up and exits with its status\n"
    "(it inherits the environment, so under umockdev-wrapper it sees the USB\n"
    "modules; MODSIM_TCP_PORT and MODSIM_PTY give the first module's port and\n"
    "serial line, MODSIM_TCP_PORT_<SERIAL> and MODSIM_PTY_<SERIAL> each module's).\n"
    "Without one, runs until interrupted or for --duration.\n"
    "\n"
    "Every module has the system entity 3/0 (identity, name, route to me...),\n"
    "the test entity 20/0 (a value of each type), store slots, factory data,\n"
    "streamed values (command 5D) and an I2C bus with the modules behind it.\n"
    "\n"
    "Modules (the options after --module apply to it; before the first\n"
    "--module they apply to a module 40F5849A at address 04):\n"
    "  --module SERIAL[:ADDRESS]  serial number (hex) and module address (hex,\n"
    "                           even, 02 to FE) [40F5849A:04]\n"
    "  --tcp [ADDRESS:]PORT     listen on ADDRESS (127.0.0.1) and PORT (0: any free\n"
    "                           port); may be repeated\n"
    "  --serial                 open a pseudo-terminal (COBS frames with CRC-8)\n"
    "  --usb                    appear on the emulated USB bus (run modsim under\n"
    "                           umockdev-wrapper)\n"
    "  --usb-product HEX        USB product identifier [0010]\n"
    "  --heartbeat MS           heartbeat interval while routed, 0 for none [1000]\n"
    "  --heartbeat-direction alternate|down|up  [alternate]\n"
    "  --discovery ADDRESS      answer the network search (group 232.2.2.2 port 9888)\n"
    "                           on the interface with this IPv4 address; the answer\n"
    "                           names the first --tcp port (listen on ADDRESS too)\n"
    "  --discovery-reply-length N  send only the first N (0 to 16) bytes of the\n"
    "                           answer; 0: no answer [16]\n"
    "  --usb-vendor HEX         USB vendor identifier [5A17]\n"
    "  --usb-serial-string TEXT the serial-number string instead of the serial\n"
    "                           number's eight hex digits\n"
    "  --usb-serial-unreadable  a request for the serial-number string stalls\n"
    "  --child SERIAL[:ADDRESS] a module behind the last --module (a router), on\n"
    "                           its I2C bus at ADDRESS; it answers on the router's\n"
    "                           link once the host sent \"route to me\"; the options\n"
    "                           after it apply to it; no transport of its own\n"
    "  --second-host accept|refuse|drop  a TCP/IP module with a host already:\n"
    "                           takes another one too, stops listening (a connect\n"
    "                           is refused) or resets the new connection [accept]\n"
    "  --occupied               another host holds the module: TCP/IP connections\n"
    "                           are refused or reset, the USB interface is busy\n"
    "\n"
    "Firmware (what the module reports about itself):\n"
    "  --model N                model number, decimal or 0x hex; also the USB\n"
    "                           product identifier unless --usb-product [16]\n"
    "  --version X.Y.Z|0xWORD   firmware version; the name exists from 2.10.4 on\n"
    "                           [2.12.1]\n"
    "  --build N                build number [1311]\n"
    "  --name TEXT              module name, up to 32 bytes [Module]\n"
    "  --router HEX             the router address it reports [its own address]\n"
    "  --build-reply-length N   data bytes of the build query's answer (6 in full)\n"
    "  --uei CC:II:OO=TYPE[:VALUE][,FLAG...]  a UEI value (command, index, option\n"
    "                           in hex); TYPE byte, short, int, bytes (VALUE in hex\n"
    "                           bytes) or call; FLAGs rw (settable; else read-only),\n"
    "                           wo (set only), delay=MS (answers that much later),\n"
    "                           stream=MS (its rate when streamed), step=N (added\n"
    "                           each sample), cap=N (longest bytes), sub=N (takes\n"
    "                           sub-indices 0 to N-1)\n"
    "  --no-test-entity         leave out the test entity 20/0\n"
    "  --stream-ms MS           the rate of streamed values that name none [100]\n"
    "  --slot STORE:SLOT:CAPACITY[:HEX][,ro]  a store slot (replaces the default\n"
    "                           store 0, slots 0-3 of 1024 bytes)\n"
    "  --factory SELECTOR:HEX[,locked]  factory data (replaces the defaults;\n"
    "                           locked ones refuse a write)\n"
    "\n"
    "Labs: --lab FILE reads options from FILE, one module a line, written without\n"
    "their dashes; WORD=VALUE is \"--WORD VALUE\", a bare \"tcp\" listens on any\n"
    "free port of 127.0.0.1, \"router\" is another word for \"module\", # starts a\n"
    "comment, \"quotes\" keep spaces. Three modules on TCP/IP, a router with two\n"
    "children and one module on USB:\n"
    "  module 40F5849A:04 tcp=192.0.2.1:0 discovery=192.0.2.1 model=0x12 name=\"Hub A\"\n"
    "  module 40F5849B:04 tcp=192.0.2.1:0 discovery=192.0.2.1 version=2.10.3\n"
    "  module 40F5849C:04 tcp=192.0.2.1:0 discovery=192.0.2.1 occupied\n"
    "  router 40F58500:02 tcp=192.0.2.1:0 discovery=192.0.2.1 name=Router\n"
    "    child 40F58510:10 model=0x11 name=\"IO 1\"\n"
    "    child 40F58514:14 build-reply-length=5\n"
    "  module 40F5849D:04 usb model=0x14\n"
    "Run it as  umockdev-wrapper modsim --netns --lab small.lab -- Updater -D\n"
    "(tools/modsim/small.lab is this lab).\n"
    "\n"
    "%s"
    "\n"
    "Program:\n"
    "  --trace                  print the packet trace on standard output\n"
    "  --trace-file FILE        append the packet trace to FILE\n"
    "  --duration MS            stop after MS milliseconds\n"
    "  --timeout MS             end COMMAND if it runs longer [600000]; status 124\n"
    "  --netns                  run the modules and COMMAND in a private network\n"
    "                           namespace (in a user namespace when need be) with lo\n"
    "                           and a veth pair modsim0 192.0.2.1/24 - modsim1, so\n"
    "                           that the network search stays off the real\n"
    "                           interfaces\n"
    "  --help                   this text\n";

namespace
{

bool _hex(const std::string& text, unsigned long max, unsigned long& value)
{
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 8)
        return false;
    char* end = nullptr;
    value = strtoul(t.c_str(), &end, 16);
    return *end == '\0' && value <= max;
}

// Decimal, or hex with 0x.
bool _number(const std::string& text, unsigned long max, unsigned long& value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return _hex(text, max, value);
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = strtoul(text.c_str(), nullptr, 10);
    return value <= max;
}

bool _decimal(const std::string& text, long max, long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    char* end = nullptr;
    value = strtol(text.c_str(), &end, 10);
    return *end == '\0' && value >= 0 && value <= max;
}

ModuleSpec& _add(ProgramOptions& o, int router)
{
    o.modules.emplace_back();
    o.routers.push_back(router);
    return o.modules.back();
}

ModuleSpec& _current(ProgramOptions& o)
{
    if (o.modules.empty())
        _add(o, -1);
    return o.modules.back();
}

// SERIAL[:ADDRESS]
bool _serialAndAddress(const std::string& value, uint32_t& serial, uint8_t& address,
                       std::string& error)
{
    size_t colon = value.find(':');
    unsigned long s = 0, a = 0x04;
    if (!_hex(value.substr(0, colon), 0xFFFFFFFFul, s) || s == 0)
    {
        error = value + ": bad serial number";
        return false;
    }
    if (colon != std::string::npos &&
        (!_hex(value.substr(colon + 1), 0xFE, a) || a == 0 || (a & 1)))
    {
        error = value + ": the address must be even, 02 to FE";
        return false;
    }
    serial = (uint32_t)s;
    address = (uint8_t)a;
    return true;
}

// CC:II:OO=TYPE[:VALUE][,FLAG...]: one UEI value of the module.
bool _uei(const std::string& text, FirmwareSpec& firmware, std::string& error)
{
    auto bad = [&](const std::string& why)
    {
        error = "--uei " + text + ": " + why;
        return false;
    };
    size_t eq = text.find('=');
    std::vector<int> key;
    if (eq == std::string::npos || !parsePattern(text.substr(0, eq), key) || key.size() != 3 ||
        key[0] < 0 || key[1] < 0 || key[2] < 0 || key[1] > 31 || key[2] > 63)
        return bad("expected COMMAND:INDEX:OPTION (hex; index to 1F, option to 3F)=TYPE...");
    std::vector<std::string> parts;
    std::string rest = text.substr(eq + 1);
    for (size_t start = 0;;)
    {
        size_t comma = rest.find(',', start);
        parts.push_back(rest.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::string type = parts[0], value;
    size_t colon = type.find(':');
    if (colon != std::string::npos)
    {
        value = type.substr(colon + 1);
        type = type.substr(0, colon);
    }
    Option o;
    unsigned long n = 0;
    if (type == "byte" || type == "short" || type == "int")
    {
        o.type = type == "byte"    ? ValueType::Byte
                 : type == "short" ? ValueType::Short
                                   : ValueType::Int;
        unsigned long max = type == "byte" ? 0xFF : type == "short" ? 0xFFFF : 0xFFFFFFFFul;
        if (!value.empty() && !_number(value, max, n))
            return bad("the value does not fit a " + type);
        o.value = (uint32_t)n;
    }
    else if (type == "bytes")
    {
        o.type = ValueType::Bytes;
        if (!value.empty() && !parseHexBytes(value, o.bytes))
            return bad("expected hex bytes");
    }
    else if (type == "call")
    {
        o.type = ValueType::Void;
        o.readable = false;
        o.writable = true;
    }
    else
        return bad("TYPE is byte, short, int, bytes or call");
    for (size_t i = 1; i < parts.size(); i++)
    {
        const std::string& f = parts[i];
        size_t at = f.find('=');
        std::string name = f.substr(0, at), arg = at == std::string::npos ? "" : f.substr(at + 1);
        if (name == "rw")
            o.writable = true;
        else if (name == "wo")
        {
            o.writable = true;
            o.readable = false;
        }
        else if ((name == "delay" || name == "stream" || name == "cap" || name == "sub") &&
                 _number(arg, name == "sub" ? 32 : 3600000, n))
        {
            if (name == "delay")
                o.delayMs = (unsigned)n;
            else if (name == "stream")
                o.streamMs = (unsigned)n;
            else if (name == "cap")
                o.capacity = n;
            else
                for (unsigned long k = 0; k < n; k++)
                    o.sub[(uint8_t)k] = o.value;
        }
        else if (name == "step" && _number(arg, 0xFFFF, n))
            o.streamStep = (int32_t)n;
        else
            return bad("unknown flag " + f +
                       " (rw, wo, delay=MS, stream=MS, step=N, cap=N, sub=N)");
    }
    EntitySpec e;
    e.command = (uint8_t)key[0];
    e.index = (uint8_t)key[1];
    e.options[(uint8_t)key[2]] = o;
    firmware.entities.push_back(e);
    return true;
}

// STORE:SLOT:CAPACITY[:HEX][,ro]
bool _slot(const std::string& text, FirmwareSpec& firmware, std::string& error)
{
    std::string spec = text;
    SlotSpec s;
    const std::string ro = ",ro";
    if (spec.size() > ro.size() && spec.compare(spec.size() - ro.size(), ro.size(), ro) == 0)
    {
        s.readOnly = true;
        spec = spec.substr(0, spec.size() - ro.size());
    }
    size_t c1 = spec.find(':'), c2 = c1 == std::string::npos ? c1 : spec.find(':', c1 + 1);
    size_t c3 = c2 == std::string::npos ? c2 : spec.find(':', c2 + 1);
    unsigned long store = 0, slot = 0, capacity = 0;
    if (c2 == std::string::npos || !_number(spec.substr(0, c1), 255, store) ||
        !_number(spec.substr(c1 + 1, c2 - c1 - 1), 255, slot) ||
        !_number(spec.substr(c2 + 1, c3 == std::string::npos ? c3 : c3 - c2 - 1), 65535,
                 capacity) ||
        (c3 != std::string::npos && !parseHexBytes(spec.substr(c3 + 1), s.data)) ||
        s.data.size() > capacity)
    {
        error = "--slot " + text + ": expected STORE:SLOT:CAPACITY[:HEX][,ro]";
        return false;
    }
    s.store = (uint8_t)store;
    s.slot = (uint8_t)slot;
    s.capacity = (uint16_t)capacity;
    firmware.slots.push_back(s);
    return true;
}

// SELECTOR:HEX[,locked]
bool _factory(const std::string& text, FirmwareSpec& firmware, std::string& error)
{
    std::string spec = text;
    const std::string locked = ",locked";
    bool isLocked = spec.size() > locked.size() &&
                    spec.compare(spec.size() - locked.size(), locked.size(), locked) == 0;
    if (isLocked)
        spec = spec.substr(0, spec.size() - locked.size());
    size_t colon = spec.find(':');
    unsigned long selector = 0;
    std::vector<uint8_t> data;
    if (colon == std::string::npos || !_number(spec.substr(0, colon), 15, selector) ||
        (colon + 1 < spec.size() && !parseHexBytes(spec.substr(colon + 1), data)) ||
        data.size() > 1024)
    {
        error = "--factory " + text + ": expected SELECTOR (0 to 15):HEX[,locked]";
        return false;
    }
    firmware.factory[(uint8_t)selector] = data;
    if (isLocked)
        firmware.lockedFactory.insert((uint8_t)selector);
    return true;
}

} // namespace

int parseArguments(const std::vector<std::string>& argv, ProgramOptions& o, std::string& error)
{
    auto fail = [&](const std::string& message)
    {
        error = message;
        return 1;
    };
    int argc = (int)argv.size();
    for (int i = 0; i < argc; i++)
    {
        std::string arg = argv[i];
        if (arg == "--")
        {
            for (int j = i + 1; j < argc; j++)
                o.command.push_back(argv[j]);
            if (o.command.empty())
                return fail("no command after --");
            break;
        }
        if (arg == "--help" || arg == "-h")
            return 2;
        bool faultTakesValue = false;
        bool isFault = isFaultOption(arg, faultTakesValue);
        static const char* const valued[] = {
            "--module",
            "--tcp",
            "--usb-product",
            "--heartbeat",
            "--heartbeat-direction",
            "--trace-file",
            "--duration",
            "--timeout",
            "--discovery",
            "--discovery-reply-length",
            "--usb-vendor",
            "--usb-serial-string",
            "--child",
            "--uei",
            "--slot",
            "--factory",
            "--stream-ms",
            "--second-host",
            "--lab",
            "--model",
            "--version",
            "--build",
            "--name",
            "--router",
            "--build-reply-length",
        };
        bool takesValue = isFault && faultTakesValue;
        for (const char* v : valued)
            takesValue = takesValue || (!isFault && arg == v);
        std::string value;
        if (takesValue)
        {
            if (i + 1 >= argc)
                return fail(arg + " needs a value");
            value = argv[++i];
        }
        if (isFault)
        {
            std::string why;
            if (!applyFaultOption(_current(o).module.faults, arg, value, why))
                return fail(why);
            continue;
        }
        unsigned long n = 0;
        long ms = 0;
        if (arg == "--module" || arg == "--child")
        {
            uint32_t serial = 0;
            uint8_t address = 0;
            std::string why;
            if (!_serialAndAddress(value, serial, address, why))
                return fail(arg + " " + why);
            int router = -1;
            if (arg == "--child")
            {
                if (o.modules.empty())
                    return fail("--child " + value + ": after the --module of its router");
                router = (int)o.modules.size() - 1;
                while (o.routers[(size_t)router] >= 0)
                    router = o.routers[(size_t)router];
            }
            if (o.explicitModule || o.modules.empty() || router >= 0)
                _add(o, router);
            o.explicitModule = true;
            o.modules.back().module.serial = serial;
            o.modules.back().module.address = address;
        }
        else if (arg == "--uei" || arg == "--slot" || arg == "--factory")
        {
            std::string why;
            FirmwareSpec& f = _current(o).firmware;
            bool ok = arg == "--uei"    ? _uei(value, f, why)
                      : arg == "--slot" ? _slot(value, f, why)
                                        : _factory(value, f, why);
            if (!ok)
                return fail(why);
        }
        else if (arg == "--no-test-entity")
            _current(o).firmware.testEntity = false;
        else if (arg == "--stream-ms")
        {
            if (!_decimal(value, 3600000, ms) || ms == 0)
                return fail("--stream-ms " + value + ": bad milliseconds");
            _current(o).firmware.streamMs = (unsigned)ms;
        }
        else if (arg == "--second-host")
        {
            ModuleConfig& c = _current(o).module;
            if (value == "accept")
                c.secondHost = SecondHost::Accept;
            else if (value == "refuse")
                c.secondHost = SecondHost::Refuse;
            else if (value == "drop")
                c.secondHost = SecondHost::Drop;
            else
                return fail("--second-host " + value + ": accept, refuse or drop");
        }
        else if (arg == "--occupied")
            _current(o).module.occupied = true;
        else if (arg == "--netns")
            o.privateNetwork = true;
        else if (arg == "--lab")
        {
            std::vector<std::string> lab;
            std::string why;
            if (!readLab(value, lab, why))
                return fail(why);
            int r = parseArguments(lab, o, why);
            if (r != 0)
                return r == 1 ? fail(value + ": " + why) : r;
        }
        else if (arg == "--tcp")
        {
            TcpSpec t;
            size_t colon = value.rfind(':');
            if (colon != std::string::npos)
                t.address = value.substr(0, colon);
            long port = 0;
            if (!_decimal(value.substr(colon == std::string::npos ? 0 : colon + 1), 65535, port))
                return fail("--tcp " + value + ": bad port");
            t.port = (uint16_t)port;
            _current(o).tcp.push_back(t);
        }
        else if (arg == "--serial")
            _current(o).serialLine = true;
        else if (arg == "--usb")
        {
            if (!_current(o).usb)
                _current(o).usb = UsbSpec();
        }
        else if (arg == "--usb-product")
        {
            if (!_hex(value, 0xFFFF, n))
                return fail("--usb-product " + value + ": bad product identifier");
            if (!_current(o).usb)
                _current(o).usb = UsbSpec();
            _current(o).usb->product = (uint16_t)n;
        }
        else if (arg == "--heartbeat")
        {
            if (!_decimal(value, 3600000, ms))
                return fail("--heartbeat " + value + ": bad interval");
            _current(o).module.heartbeatMs = (unsigned)ms;
        }
        else if (arg == "--heartbeat-direction")
        {
            HeartbeatDirection& d = _current(o).module.heartbeatDirection;
            if (value == "alternate")
                d = HeartbeatDirection::Alternate;
            else if (value == "down")
                d = HeartbeatDirection::Down;
            else if (value == "up")
                d = HeartbeatDirection::Up;
            else
                return fail("--heartbeat-direction " + value + ": alternate, down or up");
        }
        else if (arg == "--discovery")
        {
            DiscoverySpec d = _current(o).discovery.value_or(DiscoverySpec());
            d.interface = value;
            _current(o).discovery = d;
        }
        else if (arg == "--discovery-reply-length")
        {
            if (!_decimal(value, 16, ms))
                return fail("--discovery-reply-length " + value + ": 0 to 16");
            DiscoverySpec d = _current(o).discovery.value_or(DiscoverySpec());
            d.replyLength = (unsigned)ms;
            _current(o).discovery = d;
        }
        else if (arg == "--usb-vendor")
        {
            if (!_hex(value, 0xFFFF, n))
                return fail("--usb-vendor " + value + ": bad vendor identifier");
            if (!_current(o).usb)
                _current(o).usb = UsbSpec();
            _current(o).usb->vendor = (uint16_t)n;
        }
        else if (arg == "--usb-serial-string" || arg == "--usb-serial-unreadable")
        {
            if (!_current(o).usb)
                _current(o).usb = UsbSpec();
            if (arg == "--usb-serial-string")
            {
                if (value.empty() || value.size() > 60)
                    return fail("--usb-serial-string: 1 to 60 characters");
                _current(o).usb->serialString = value;
            }
            else
                _current(o).usb->serialUnreadable = true;
        }
        else if (arg == "--model" || arg == "--build" || arg == "--build-reply-length")
        {
            unsigned long max = arg == "--model" ? 255 : arg == "--build" ? 0xFFFFFFFFul : 28;
            if (!_number(value, max, n))
                return fail(arg + " " + value + ": a number up to " + std::to_string(max));
            ModuleConfig& c = _current(o).module;
            if (arg == "--model")
                c.model = (uint8_t)n;
            else if (arg == "--build")
                c.build = (uint32_t)n;
            else
                c.buildReplyLength = (unsigned)n;
        }
        else if (arg == "--version")
        {
            if (!parseVersion(value, _current(o).module.version))
                return fail("--version " + value + ": expected X.Y.Z or 0xWORD");
        }
        else if (arg == "--name")
        {
            if (value.size() > 32)
                return fail("--name: at most 32 bytes");
            _current(o).module.name = value;
        }
        else if (arg == "--router")
        {
            if (!_hex(value, 0xFE, n) || n == 0 || (n & 1))
                return fail("--router " + value + ": the address must be even, 02 to FE");
            _current(o).module.router = (uint8_t)n;
        }
        else if (arg == "--trace")
            o.trace = true;
        else if (arg == "--trace-file")
            o.traceFile = value;
        else if (arg == "--duration" || arg == "--timeout")
        {
            if (!_decimal(value, 86400000, ms))
                return fail(arg + " " + value + ": bad milliseconds");
            (arg == "--duration" ? o.durationMs : o.timeoutMs) = ms;
        }
        else
            return fail("unknown option " + arg);
    }
    return 0;
}

int checkModules(ProgramOptions& o, std::string& error)
{
    if (o.modules.empty())
        _add(o, -1);
    for (size_t i = 0; i < o.modules.size(); i++)
    {
        const ModuleSpec& m = o.modules[i];
        bool transport = !m.tcp.empty() || m.serialLine || m.usb;
        char serial[16];
        snprintf(serial, sizeof serial, "%08X", m.module.serial);
        if (o.routers[i] < 0 && !transport)
        {
            error = std::string("module ") + serial + " has no transport (--tcp, --serial, --usb)";
            return 1;
        }
        if (o.routers[i] >= 0 && (transport || m.discovery))
        {
            error = std::string("module ") + serial +
                    " is behind a router (--child): it has no transport of its own";
            return 1;
        }
    }
    return 0;
}

bool readLab(const std::string& path, std::vector<std::string>& args, std::string& error)
{
    std::ifstream in(path);
    if (!in)
    {
        error = "cannot read the lab file " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line))
    {
        number++;
        // Words, "quoted" parts kept whole; # to the end of the line is a comment.
        std::vector<std::string> words;
        std::string word;
        bool quoted = false, any = false;
        for (char c : line)
        {
            if (c == '"')
            {
                quoted = !quoted;
                any = true;
            }
            else if (!quoted && c == '#')
                break;
            else if (!quoted && isspace((unsigned char)c))
            {
                if (any)
                    words.push_back(word);
                word.clear();
                any = false;
            }
            else
            {
                word += c;
                any = true;
            }
        }
        if (quoted)
        {
            error = path + ":" + std::to_string(number) + ": a quote is not closed";
            return false;
        }
        if (any)
            words.push_back(word);
        for (size_t i = 0; i < words.size(); i++)
        {
            std::string w = words[i];
            size_t eq = w.find('=');
            std::string name = w.substr(0, eq);
            if (name.empty() || name[0] == '-')
            {
                error = path + ":" + std::to_string(number) + ": " + w +
                        ": write options without their dashes";
                return false;
            }
            if (name == "router")
                name = "module";
            args.push_back("--" + name);
            if (eq != std::string::npos)
                args.push_back(w.substr(eq + 1));
            else if ((name == "module" || name == "child") && i + 1 < words.size())
                args.push_back(words[++i]);
            else if (name == "tcp")
                args.push_back("0");
        }
    }
    return true;
}

} // namespace modsim
