// The whole product as a person uses it: the service program hosting the router (with the simulated PLC of
// KX_PLC at port 851), the standalone PLC simulator joining it at port 852, and the kxxml client, each a
// separate process. Every check looks only at exit codes, standard output and error, and the files produced.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>

#include "ServiceBlackBoxSupport.h"

namespace {

using namespace std::chrono_literals;
using kxbb::ChildProcess;
using kxbb::Clock;

const std::string kSample = std::string(KX_TEST_DATA_DIR) + "/plc/sample-machine.xml";
const auto kStartLimit = 60s;     // start-up of a program on a loaded machine
const auto kCommandLimit = 120s;  // one kxxml command, including a large transfer under sanitizers

struct Result {
    int code = -1;  // exit code; -1 when killed or timed out
    std::string out, err;

    // One line on standard error, ending in a newline (progress lines rewrite themselves with '\r').
    bool OneErrorLine() const { return !err.empty() && err.back() == '\n' && std::count(err.begin(), err.end(), '\n') == 1; }
};

std::ostream& operator<<(std::ostream& os, const Result& r)
{
    return os << "exit " << r.code << "\n--- stdout:\n" << r.out.substr(0, 2000) << "\n--- stderr:\n" << r.err;
}

// Runs kxxml with the environment given; stdout and stderr through files in dir.
Result RunKxxml(const std::string& dir, const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    static int s_run = 0;
    const std::string base = dir + "/kxxml-" + std::to_string(++s_run);
    Result r;
    ChildProcess c;
    if (!c.Start(KX_KXXML_EXE, args, env, base + ".out", base + ".err"))
        return r;
    bool timedOut = false;
    int st = c.WaitFor(kCommandLimit, &timedOut);
    if (!timedOut && st >= 0 && WIFEXITED(st))
        r.code = WEXITSTATUS(st);
    r.out = kxbb::ReadFile(base + ".out");
    r.err = kxbb::ReadFile(base + ".err");
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    return r;
}

// "xx xx ..." as kxxml prints bytes, back into bytes.
std::vector<uint8_t> HexTokens(const std::string& text)
{
    std::vector<uint8_t> b;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok)
        b.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return b;
}

std::string HexArg(const std::vector<uint8_t>& b)
{
    std::string s = "0x";
    char two[3];
    for (uint8_t v : b) {
        std::snprintf(two, sizeof(two), "%02x", v);
        s += two;
    }
    return s;
}

template <typename T>
std::vector<uint8_t> BytesOf(T v)
{
    std::vector<uint8_t> b(sizeof(T));
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::string s = kxbb::ReadFile(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Text of the first element with this name anywhere in the XML file; "<none>" when there is none.
std::string ElementText(const std::string& file, const std::string& name)
{
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str()))
        return "<unreadable>";
    pugi::xml_node n = doc.select_node(("//" + name).c_str()).node();
    return n ? n.text().get() : "<none>";
}

// Number of elements of a one-dimensional array symbol of the sample machine, from its declared type.
size_t SampleArrayCount(const std::string& symbol)
{
    pugi::xml_document doc;
    doc.load_file(kSample.c_str());
    std::string type = doc.select_node(("//symbol[@name='" + symbol + "']").c_str()).node().attribute("type").value();
    std::smatch m;
    if (!std::regex_search(type, m, std::regex(R"(\[(-?\d+)\.\.(-?\d+)\])")))
        return 0;
    return static_cast<size_t>(std::stol(m[2]) - std::stol(m[1]) + 1);
}

// One service (hosting the router, with the sample machine at port 851) and one standalone simulator
// (the sample machine again, at port 852), shared by the tests of the suite.
class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_root = std::make_unique<kxbb::TempRoot>();
        const std::string& root = s_root->Path();
        if (root.empty()) {
            s_problem = "no temporary folder";
            return;
        }
        kxbb::RegistrySetup reg;
        reg.userPaths = {1, 2};
        kxbb::WriteRegistry(root, reg);
        std::filesystem::create_directories(root + "/files");
        s_port = kxbb::FreeTcpPort();
        s_router = "127.0.0.1:" + std::to_string(s_port);

        s_service = std::make_unique<ChildProcess>();
        if (!s_service->Start(KX_SERVICE_EXE, {},
                              {"KX_REGISTRY_ROOT=" + root, "KX_ROUTER_PORT=" + std::to_string(s_port),
                               "KX_PLC=" + kSample},
                              root + "/service.out", root + "/service.err")) {
            s_problem = "cannot start the service";
            return;
        }
        // Ready once it answers its device state through the router.
        const auto deadline = Clock::now() + kStartLimit;
        for (;;) {
            Result r = RunKxxml(root, {"state"}, KxxmlEnv());
            if (r.code == 0)
                break;
            if (!s_service->Alive() || Clock::now() > deadline) {
                s_problem = "service not ready: " + kxbb::ReadFile(root + "/service.err");
                return;
            }
            std::this_thread::sleep_for(50ms);  // poll interval, not a synchronisation
        }

        s_sim = std::make_unique<ChildProcess>();
        if (!s_sim->Start(KX_PLCSIM_EXE, {"--port", "852", kSample}, {"KX_ROUTER=" + s_router}, "",
                          root + "/plcsim.err", {"", false, true})) {
            s_problem = "cannot start KxPlcSim";
            return;
        }
        std::string line = s_sim->ReadLineWith("serving ", kStartLimit);
        if (line.empty()) {
            s_problem = "KxPlcSim did not serve: " + kxbb::ReadFile(root + "/plcsim.err");
            return;
        }
        s_simAddr = line.substr(line.find("serving ") + 8);
    }

    static void TearDownTestSuite()
    {
        // Both end cleanly on SIGTERM, without a report of a sanitizer or a leak.
        if (s_sim) {
            int st = s_sim->Terminate(30s);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "KxPlcSim wait status " << st;
        }
        if (s_service) {
            int st = s_service->Terminate(60s);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "service wait status " << st;
        }
        for (const char* name : {"/service.err", "/plcsim.err"}) {
            const std::string err = s_root ? kxbb::ReadFile(s_root->Path() + name) : "";
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
            EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
        }
        s_sim.reset();
        s_service.reset();
        s_root.reset();
    }

    void SetUp() override { ASSERT_TRUE(s_problem.empty()) << s_problem; }

    void TearDown() override
    {
        // Whatever a command did, both programs must still be running.
        EXPECT_TRUE(s_service->Alive()) << kxbb::ReadFile(Root() + "/service.err");
        EXPECT_TRUE(s_sim->Alive()) << kxbb::ReadFile(Root() + "/plcsim.err");
    }

    static std::vector<std::string> KxxmlEnv() { return {"KX_ROUTER=" + s_router}; }
    static const std::string& Root() { return s_root->Path(); }
    static std::string File(const std::string& name) { return Root() + "/files/" + name; }

    Result Kx(const std::vector<std::string>& args) { return RunKxxml(Root(), args, KxxmlEnv()); }
    // The same against the standalone simulator.
    Result KxSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--plc", s_simAddr});
        return Kx(args);
    }

    static std::unique_ptr<kxbb::TempRoot> s_root;
    static std::unique_ptr<ChildProcess> s_service, s_sim;
    static uint16_t s_port;
    static std::string s_router, s_simAddr, s_problem;
};

std::unique_ptr<kxbb::TempRoot> EndToEnd::s_root;
std::unique_ptr<ChildProcess> EndToEnd::s_service, EndToEnd::s_sim;
uint16_t EndToEnd::s_port = 0;
std::string EndToEnd::s_router, EndToEnd::s_simAddr, EndToEnd::s_problem;

// Command lines that never reach the router: help and the checks of the arguments.
TEST(EndToEndCli, HelpAndArgumentErrors)
{
    kxbb::TempRoot dir;
    ASSERT_FALSE(dir.Path().empty());
    // Nothing listens here, so any attempt to connect would fail with exit code 1 rather than 2.
    const std::vector<std::string> env = {"KX_ROUTER=127.0.0.1:" + std::to_string(kxbb::FreeTcpPort())};

    for (const char* flag : {"--help", "-h"}) {
        Result r = RunKxxml(dir.Path(), {flag}, env);
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_TRUE(r.err.empty()) << r;
        for (const char* word : {"state", "info", "login", "logout", "store", "restore", "read", "write", "clarify",
                                 "plc read", "plc write", "diff", "check", "--dry-run", "--raw", "--json", "--router", "--plc", "--path", "--base", "--create",
                                 "--ignore-order", "--comments", "--type-comments", "--numeric-bool", "--lcid",
                                 "--timeout", "-q"})
            EXPECT_NE(r.out.find(word), std::string::npos) << flag << " does not mention " << word;
    }

    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "usage: kxxml"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"--bogus", "state"}, "unknown option --bogus"},
        {{"store", "MAIN.nCycle"}, "store needs more arguments"},
        {{"login", "operator"}, "login needs more arguments"},
        {{"state", "--router"}, "--router needs a value"},
        {{"--base", "user0", "state"}, "--base"},
        {{"--base", "usr1", "state"}, "--base"},
        {{"--base", "12x", "state"}, "--base"},
        {{"--timeout", "soon", "state"}, "--timeout"},
        {{"--timeout", "", "state"}, "--timeout"},
        {{"plc", "erase", "MAIN.nCycle"}, "plc"},
        {{"diff", "MAIN.nCycle"}, "diff needs more arguments"},
        {{"check", "MAIN.nCycle"}, "check needs more arguments"},
        {{"store", "--dry-run", "MAIN.nCycle", "x.xml"}, "--dry-run goes with restore"},
        {{"--raw", "state"}, "--raw goes with plc read"},
        {{"--base", "boot", "check", "MAIN.nCycle", "x.xml"}, "full path instead of --base"},
        {{"--json", "store", "MAIN.nCycle", "x.xml"}, "--json goes with"},
    };
    for (const Case& c : cases) {
        Result r = RunKxxml(dir.Path(), c.args, env);
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        EXPECT_EQ(r.code, 2) << "kxxml " << line << "\n" << r;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "kxxml " << line << "\n" << r;
        EXPECT_TRUE(r.out.empty()) << "kxxml " << line << "\n" << r;
    }
}

// Without a router every command fails with one clear line; --router overrides KX_ROUTER.
TEST_F(EndToEnd, NoRouterAndRouterOption)
{
    const std::string nowhere = "127.0.0.1:" + std::to_string(kxbb::FreeTcpPort());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"state"}, {"plc", "read", "MAIN.nCycle"}, {"store", "MAIN.nCycle", File("x.xml")}}) {
        Result r = RunKxxml(Root(), args, {"KX_ROUTER=" + nowhere});
        EXPECT_EQ(r.code, 1) << r;
        EXPECT_TRUE(r.OneErrorLine()) << r;
        EXPECT_NE(r.err.find("cannot join the router at " + nowhere), std::string::npos) << r;
    }
    Result r = RunKxxml(Root(), {"--router", s_router, "state"}, {"KX_ROUTER=" + nowhere});
    EXPECT_EQ(r.code, 0) << r;
    r = RunKxxml(Root(), {"--router", nowhere, "state"}, KxxmlEnv());
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_FALSE(std::filesystem::exists(File("x.xml")));
}

TEST_F(EndToEnd, StateAndInfo)
{
    Result r = Kx({"state"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "state 5 (run)\n") << r;
    r = Kx({"info"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, std::string("KxXmlDataSrv ") + KX_PROJECT_VERSION + "\n") << r;
    r = Kx({"--json", "state"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "{\"state\": 5, \"name\": \"run\", \"deviceState\": 0}\n") << r;
    r = Kx({"info", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, std::string("{\"name\": \"KxXmlDataSrv\", \"version\": \"") + KX_PROJECT_VERSION + "\"}\n") << r;
}

// The README's walk: store, edit the file, restore, and the PLC holds the edited value. The two PLCs are
// separate memories, so the one not named keeps its value.
TEST_F(EndToEnd, StoreEditRestoreReachesThePlc)
{
    const std::string file = File("axes.xml");
    Result r = KxSim({"store", "--create", "MAIN.aAxes", file});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "stored MAIN.aAxes into " + file + "\n");
    std::string xml = kxbb::ReadFile(file);
    ASSERT_EQ(ElementText(file, "fSpeed"), "12.5") << xml;
    const std::string from = "<fSpeed>12.5<", to = "<fSpeed>99<";
    size_t at = xml.find(from);
    ASSERT_NE(at, std::string::npos) << xml;
    xml.replace(at, from.size(), to);
    ASSERT_TRUE(kxbb::WriteFile(file, xml));

    r = KxSim({"restore", "MAIN.aAxes", file});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "restored MAIN.aAxes from " + file + "\n");

    r = KxSim({"plc", "read", "MAIN.aAxes[1].fSpeed"});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "MAIN.aAxes[1].fSpeed: 99\n") << r;
    r = Kx({"plc", "read", "--raw", "MAIN.aAxes[1].fSpeed"});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(HexTokens(r.out), BytesOf(12.5)) << r;

    // A second store of the changed PLC into the same file keeps the file well formed and shows the value.
    r = KxSim({"-q", "store", "MAIN.aAxes", file});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.empty()) << r;
    EXPECT_EQ(ElementText(file, "fSpeed"), "99");
}

// The options of a store reach the service: comments, numeric booleans and the element path.
TEST_F(EndToEnd, StoreOptionsShapeTheFile)
{
    struct Case {
        std::vector<std::string> flags;
        std::function<void(const std::string& xml, const pugi::xml_document& doc)> check;
    };
    auto text = [](const pugi::xml_document& doc, const char* xpath) {
        pugi::xml_node n = doc.select_node(xpath).node();
        return n ? std::string(n.text().get()) : std::string("<none>");
    };
    const Case cases[] = {
        {{},
         [&](const std::string& xml, const pugi::xml_document& doc) {
             EXPECT_EQ(xml.find("<!--"), std::string::npos);
             EXPECT_NE(text(doc, "/dataentry/MAIN.aAxes//bEnabled"), "1");
         }},
        {{"--comments"},
         [&](const std::string& xml, const pugi::xml_document&) {
             EXPECT_NE(xml.find("Axes X, Y, Z"), std::string::npos);
             EXPECT_EQ(xml.find("Set speed"), std::string::npos);
         }},
        {{"--type-comments"},
         [&](const std::string& xml, const pugi::xml_document&) {
             EXPECT_NE(xml.find("Set speed"), std::string::npos);
         }},
        {{"--numeric-bool"},
         [&](const std::string&, const pugi::xml_document& doc) {
             EXPECT_EQ(text(doc, "/dataentry/MAIN.aAxes//bEnabled"), "1");
         }},
        {{"--path", "/machine/axes"},
         [&](const std::string&, const pugi::xml_document& doc) {
             EXPECT_NE(text(doc, "/machine/axes//fSpeed"), "<none>");
             EXPECT_FALSE(doc.child("dataentry"));
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.flags)
            line += a + " ";
        SCOPED_TRACE(line);
        const std::string file = File("options" + std::to_string(++n) + ".xml");
        std::vector<std::string> args = {"store", "--create"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        args.insert(args.end(), {"MAIN.aAxes", file});
        Result r = KxSim(args);
        ASSERT_EQ(r.code, 0) << r;
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(file.c_str())) << kxbb::ReadFile(file);
        c.check(kxbb::ReadFile(file), doc);
        // What was stored restores with the same options.
        args[0] = "restore";
        args.erase(args.begin() + 1);
        r = KxSim(args);
        EXPECT_EQ(r.code, 0) << r;
    }
    // A file without the element named by the path is not restored.
    Result r = KxSim({"restore", "--path", "/machine/nothing", "MAIN.aAxes", File("options1.xml")});
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(r.OneErrorLine()) << r;
}

// Members in another order are found by name with --ignore-order.
TEST_F(EndToEnd, IgnoreOrderMatchesMembersByName)
{
    const std::string file = File("reordered.xml");
    Result r = KxSim({"store", "--create", "MAIN.aAxes", file});
    ASSERT_EQ(r.code, 0) << r;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file.c_str()));
    pugi::xml_node speed = doc.select_node("//fSpeed").node();
    ASSERT_TRUE(speed);
    pugi::xml_node axis = speed.parent();
    std::vector<pugi::xml_node> members(axis.begin(), axis.end());
    ASSERT_GT(members.size(), 2u);
    for (pugi::xml_node m : members)
        axis.prepend_move(m);
    ASSERT_NE(axis.first_child(), members.front());
    speed.text().set("77");
    ASSERT_TRUE(doc.save_file(file.c_str()));

    r = KxSim({"restore", "--ignore-order", "MAIN.aAxes", file});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"plc", "read", "MAIN.aAxes[1].fSpeed"});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "MAIN.aAxes[1].fSpeed: 77\n") << r;
}

// plc read decodes the PLC's bytes with the symbol's type, one line per value by its member path.
TEST_F(EndToEnd, PlcReadShowsTypedValues)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"MAIN.nCycle"}, "MAIN.nCycle: 123456\n"},
        {{"MAIN.stFlags"},
         "MAIN.stFlags.bReady: 1\nMAIN.stFlags.bBusy: 0\nMAIN.stFlags.bError: 1\nMAIN.stFlags.nCode: 48879\n"
         "MAIN.stFlags.bWarn: 1\n"},
        {{"Logger.aNested"},
         "Logger.aNested[1][0]: 0\nLogger.aNested[1][1]: 0\nLogger.aNested[1][2]: 0\nLogger.aNested[2][0]: 0\n"
         "Logger.aNested[2][1]: 21\nLogger.aNested[2][2]: 0\n"},
        {{"Recipes.sTitle"}, "Recipes.sTitle: \"Crème brûlée\"\n"},
        {{"Recipes.stCurrent.wsLabel"}, "Recipes.stCurrent.wsLabel: \"Größe 𝄞\"\n"},
        {{"Line.aStations[2].aFlags[1]"},
         "Line.aStations[2].aFlags[1][1].bReady: 0\nLine.aStations[2].aFlags[1][1].bBusy: 0\n"
         "Line.aStations[2].aFlags[1][1].bError: 0\nLine.aStations[2].aFlags[1][1].nCode: 0\n"
         "Line.aStations[2].aFlags[1][1].bWarn: 0\nLine.aStations[2].aFlags[1][2].bReady: 0\n"
         "Line.aStations[2].aFlags[1][2].bBusy: 1\nLine.aStations[2].aFlags[1][2].bError: 0\n"
         "Line.aStations[2].aFlags[1][2].nCode: 7\nLine.aStations[2].aFlags[1][2].bWarn: 0\n"},
        {{"--json", "MAIN.eMode"},
         "{\"symbol\": \"MAIN.eMode\", \"values\": [\n  {\"member\": \"MAIN.eMode\", \"type\": \"INT\", \"value\": "
         "\"2\"}\n]}\n"},
        {{"--raw", "MAIN.nCycle"}, "40 e2 01 00\n"},
        {{"--raw", "--json", "MAIN.nCycle"}, "{\"symbol\": \"MAIN.nCycle\", \"bytes\": \"40e20100\"}\n"},
        // An excluded symbol has no values; a line on standard error says so.
        {{"Recipes.bArchive"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"plc", "read"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.back());
        Result r = Kx(args);
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_EQ(r.out, c.out) << r;
        EXPECT_EQ(r.err.empty(), !c.out.empty()) << r;
    }
}

// diff, restore --dry-run and check on a stored file after edits. Each row edits a fresh copy; whatever diff
// shows is exactly what a restore then changes, the dry run leaves the PLC's bytes alone, and check lists
// what a restore passes over.
TEST_F(EndToEnd, DiffCheckAndDryRun)
{
    // One edit: the element (or attribute) at xpath gets the text, or the element the new name.
    struct Edit {
        const char* xpath;
        const char* text;
        const char* rename;
    };
    struct Case {
        const char* what;
        const char* symbol;
        std::vector<Edit> edits;
        std::string diff;   // diff's output
        std::string check;  // check's output without its "(line N)" parts
    };
    const std::string none = "no differences\n", clean = "no problems\n";
    const std::string keeps = ": no element a restore reads: it keeps the PLC's value";
    const std::string stray =
        ": lies outside the array's bounds, repeats an element or comes after a later one: a restore passes over it";
    const Case cases[] = {
        {"equal", "MAIN.aAxes", {}, none, clean},
        {"different",
         "MAIN.aAxes",
         {{"/dataentry/MAIN.aAxes[@index='1']/fSpeed", "99", nullptr},
          {"/dataentry/MAIN.aAxes[@index='2']/sName", "Yy", nullptr}},
         "MAIN.aAxes[1].fSpeed: 12.5 -> 99\nMAIN.aAxes[2].sName: \"Y\" -> \"Yy\"\n",
         clean},
        {"texts that do not convert",
         "MAIN.aAxes",
         {{"/dataentry/MAIN.aAxes[@index='1']/fSpeed", "1O0", nullptr},
          {"/dataentry/MAIN.aAxes[@index='2']/eMode", "70000", nullptr},
          {"/dataentry/MAIN.aAxes[@index='2']/bEnabled", "yes", nullptr},
          {"/dataentry/MAIN.aAxes[@index='3']/eMode", "#x1G", nullptr},
          {"/dataentry/MAIN.aAxes[@index='3']/fPosition", "", nullptr}},
         "MAIN.aAxes[1].fSpeed: 12.5 -> 1\nMAIN.aAxes[2].eMode: 0 -> 4464\nMAIN.aAxes[3].eMode: 0 -> 1\n",
         "/dataentry/MAIN.aAxes[@index='1']/fSpeed: \"1O0\" has characters after the number that are ignored: a "
         "restore writes 1\n"
         "/dataentry/MAIN.aAxes[@index='2']/bEnabled: \"yes\" is neither true nor false (nor 1 or 0): a restore "
         "keeps the PLC's value\n"
         "/dataentry/MAIN.aAxes[@index='2']/eMode: \"70000\" is out of range for INT: a restore writes 4464\n"
         "/dataentry/MAIN.aAxes[@index='3']/eMode: \"#x1G\" has characters after the number that are ignored: a "
         "restore writes 1\n"
         "/dataentry/MAIN.aAxes[@index='3']/fPosition: \"\" holds no number: a restore writes 0\n"},
        {"unknown member and element",
         "MAIN.aAxes",
         {{"/dataentry/MAIN.aAxes[@index='2']/fPosition", nullptr, "fPos"},
          {"/dataentry/MAIN.aAxes[@index='3']/@index", "9", nullptr}},
         none,
         "/dataentry/MAIN.aAxes[@index='2']/fPosition" + keeps + " [MAIN.aAxes[2].fPosition]\n" +
             "/dataentry/MAIN.aAxes[@index='2']/fPos: matches no member\n" + "/dataentry/MAIN.aAxes[@index='3']" +
             keeps + " [MAIN.aAxes[3]]\n" + "/dataentry/MAIN.aAxes[@index='9']" + stray + "\n"},
        {"nested arrays of structures",
         "Line.aStations",
         {{"/dataentry/Line.aStations[@index='1']/aAxes[@index='2']/fSpeed", "8.5", nullptr},
          {"/dataentry/Line.aStations[@index='2']/aFlags[@index='1']/aFlags[@index='2']/nCode", "8", nullptr},
          {"/dataentry/Line.aStations[@index='2']/aFlags[@index='1']/aFlags[@index='2']/bBusy", "0", nullptr},
          {"/dataentry/Line.aStations[@index='2']/aAxes[@index='1']/sName", nullptr, "sLabel"}},
         "Line.aStations[1].aAxes[2].fSpeed: 7.5 -> 8.5\nLine.aStations[2].aFlags[1][2].bBusy: 1 -> 0\n"
         "Line.aStations[2].aFlags[1][2].nCode: 7 -> 8\n",
         "/dataentry/Line.aStations[@index='2']/aAxes[@index='1']/sName" + keeps +
             " [Line.aStations[2].aAxes[1].sName]\n" +
             "/dataentry/Line.aStations[@index='2']/aAxes[@index='1']/sLabel: matches no member\n"},
        {"strings in each code page",
         "Recipes.stCurrent",
         {{"/dataentry/Recipes.stCurrent/sName", "Grüße – 中国", nullptr},
          {"/dataentry/Recipes.stCurrent/sNote", "Füllstand € Ω", nullptr},
          {"/dataentry/Recipes.stCurrent/wsLabel", "Größe 𝄞𝄞", nullptr}},
         "Recipes.stCurrent.sName: \"Grüße – 日本\" -> \"Grüße – 中国\"\n"
         "Recipes.stCurrent.sNote: \"Füllstand ÄÖÜ ß €\" -> \"Füllstand € \"\n"
         "Recipes.stCurrent.wsLabel: \"Größe 𝄞\" -> \"Größe 𝄞𝄞\"\n",
         "/dataentry/Recipes.stCurrent/sNote: \"Füllstand € Ω\" has characters that Windows-1252 cannot hold: a "
         "restore writes \"Füllstand € \"\n"},
        {"a UTF-8 string symbol too long for its field",
         "Recipes.sTitleUtf8",
         {{"/dataentry/Recipes.sTitleUtf8", "Crème brûlée ☕ Crème brûlée ☕ Crème", nullptr}},
         "Recipes.sTitleUtf8: \"Crème brûlée\" -> \"Crème brûlée ☕ Crème brûlée ☕ \"\n",
         "/dataentry/Recipes.sTitleUtf8: \"Crème brûlée ☕ Crème brûlée ☕ Crème\" is longer than the 40 bytes of "
         "STRING(40): a restore writes \"Crème brûlée ☕ Crème brûlée ☕ \"\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = File("diff" + std::to_string(++n) + ".xml");
        Result r = Kx({"store", "--create", "-q", c.symbol, file});
        ASSERT_EQ(r.code, 0) << r;
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(file.c_str()));
        for (const Edit& e : c.edits) {
            pugi::xpath_node at = doc.select_node(e.xpath);
            ASSERT_TRUE(at) << e.xpath << "\n" << kxbb::ReadFile(file);
            if (at.attribute())
                at.attribute().set_value(e.text);
            else if (e.rename)
                at.node().set_name(e.rename);
            else
                at.node().text().set(e.text);
        }
        ASSERT_TRUE(doc.save_file(file.c_str()));
        const std::string xml = kxbb::ReadFile(file);
        const bool equal = c.diff == none;

        r = Kx({"plc", "read", "--raw", c.symbol});
        ASSERT_EQ(r.code, 0) << r;
        const std::string bytes = r.out;
        r = Kx({"diff", c.symbol, file});
        EXPECT_EQ(r.code, equal ? 0 : 1) << r;
        EXPECT_EQ(r.out, c.diff) << r;
        const size_t changes = equal ? 0 : static_cast<size_t>(std::count(c.diff.begin(), c.diff.end(), '\n'));
        r = Kx({"restore", "--dry-run", c.symbol, file});
        EXPECT_EQ(r.code, equal ? 0 : 1) << r;
        EXPECT_EQ(r.out, (equal ? "" : c.diff) + "dry run: " + std::to_string(changes) +
                             (changes == 1 ? " value" : " values") + " would change; nothing was written\n")
            << r;
        r = Kx({"plc", "read", "--raw", c.symbol});
        EXPECT_EQ(r.out, bytes) << "the dry run changed the PLC";

        r = Kx({"check", c.symbol, file});
        EXPECT_EQ(r.code, c.check == clean ? 0 : 1) << r;
        EXPECT_EQ(std::regex_replace(r.out, std::regex(R"( \(line \d+\))"), ""), c.check) << r;
        // Each line number points at the element named.
        std::smatch m;
        for (std::string rest = r.out;
             std::regex_search(rest, m, std::regex(R"(/([^/\[\n]+)(\[@index='[^']*'\])? \(line (\d+)\))"));
             rest = m.suffix()) {
            std::istringstream lines(xml);
            std::string line;
            for (int k = std::stoi(m[3]); k > 0 && std::getline(lines, line);)
                --k;
            EXPECT_NE(line.find("<" + m[1].str()), std::string::npos) << m[0] << ": " << line;
        }

        // The restore changes exactly what diff showed; afterwards nothing differs.
        r = Kx({"plc", "read", c.symbol});
        ASSERT_EQ(r.code, 0) << r;
        const std::string typedBefore = r.out;
        r = Kx({"restore", "-q", c.symbol, file});
        ASSERT_EQ(r.code, 0) << r;
        r = Kx({"plc", "read", c.symbol});
        ASSERT_EQ(r.code, 0) << r;
        std::istringstream was(typedBefore), is(r.out);
        std::string a, b, changed;
        while (std::getline(was, a) && std::getline(is, b)) {
            const size_t colon = a.find(": ");
            if (a != b)
                changed += a + " -> " + b.substr(colon + 2) + "\n";
        }
        EXPECT_EQ(changed, equal ? "" : c.diff);
        r = Kx({"diff", c.symbol, file});
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_EQ(r.out, none) << r;

        r = Kx({"plc", "write", c.symbol, HexArg(HexTokens(bytes))});
        ASSERT_EQ(r.code, 0) << r;
    }
}

// --json on diff and check: one object that scripts read.
TEST_F(EndToEnd, DiffAndCheckAsJson)
{
    const std::string file = File("json.xml");
    Result r = Kx({"store", "--create", "-q", "MAIN.stFlags", file});
    ASSERT_EQ(r.code, 0) << r;
    std::string xml = kxbb::ReadFile(file);
    xml.replace(xml.find("48879"), 5, "12x");
    ASSERT_TRUE(kxbb::WriteFile(file, xml));
    r = Kx({"--json", "diff", "MAIN.stFlags", file});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "{\"symbol\": \"MAIN.stFlags\", \"file\": \"" + file +
                         "\", \"equal\": true, \"dryRun\": false, \"changes\": []}\n")
        << r;
    r = Kx({"--json", "check", "MAIN.stFlags", file});
    EXPECT_EQ(r.code, 1) << r;
    const std::string line = std::to_string(1 + std::count(xml.begin(), xml.begin() + xml.find("12x"), '\n'));
    EXPECT_EQ(r.out, "{\"symbol\": \"MAIN.stFlags\", \"file\": \"" + file +
                         "\", \"problems\": [\n  {\"kind\": \"value\", \"path\": \"/dataentry/MAIN.stFlags/nCode\", "
                         "\"member\": \"MAIN.stFlags.nCode\", \"line\": " + line +
                         ", \"text\": \"12x\", \"message\": \"\\\"12x\\\" is no UINT: a restore keeps the PLC's "
                         "value\"}\n]}\n")
        << r;
}

// Credentials make stored files unreadable as plain XML; restore needs the same credentials; clarify
// turns such a file back into plain XML.
TEST_F(EndToEnd, EncryptedFilesNeedTheCredentials)
{
    struct AtExit {
        std::function<void()> run;
        ~AtExit() { run(); }
    } logout{[this] { Kx({"logout"}); }};
    const std::string file = File("recipe.enc.xml"), plain = File("recipe.plain.xml");
    const std::string count = "Recipes.stCurrent.nCount";

    Result r = KxSim({"plc", "read", "--raw", count});
    ASSERT_EQ(r.code, 0) << r;
    const std::vector<uint8_t> original = HexTokens(r.out);
    ASSERT_EQ(original.size(), 4u) << r;

    r = Kx({"login", "operator", "secret"});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"store", "--create", "Recipes.stCurrent", file});
    ASSERT_EQ(r.code, 0) << r;
    const std::string stored = kxbb::ReadFile(file);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("<?xml"), std::string::npos);
    EXPECT_EQ(stored.find("nCount"), std::string::npos);
    pugi::xml_document doc;
    EXPECT_FALSE(doc.load_string(stored.c_str()) && doc.child("dataentry")) << "stored as plain XML";

    // Change the PLC, restore, and the stored value is back.
    const std::vector<uint8_t> changed = BytesOf<int32_t>(-7777);
    ASSERT_NE(changed, original);
    r = KxSim({"plc", "write", count, HexArg(changed)});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"restore", "Recipes.stCurrent", file});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"plc", "read", "--raw", count});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(HexTokens(r.out), original) << r;

    r = Kx({"clarify", file, plain});
    ASSERT_EQ(r.code, 0) << r;
    int32_t value = 0;
    std::memcpy(&value, original.data(), 4);
    EXPECT_EQ(ElementText(plain, "nCount"), std::to_string(value)) << kxbb::ReadFile(plain);

    // Without credentials the encrypted file cannot be restored, and the PLC is left alone.
    r = Kx({"logout"});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"plc", "write", count, HexArg(changed)});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"restore", "Recipes.stCurrent", file});
    EXPECT_NE(r.code, 0) << r;
    EXPECT_TRUE(r.OneErrorLine()) << r;
    EXPECT_EQ(r.err.rfind("kxxml: restore failed: error 0x", 0), 0u) << r;
    r = KxSim({"plc", "read", "--raw", count});
    EXPECT_EQ(HexTokens(r.out), changed) << r;

    // A plain file restores without credentials.
    r = KxSim({"restore", "Recipes.stCurrent", plain});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"plc", "read", "--raw", count});
    EXPECT_EQ(HexTokens(r.out), original) << r;
}

// Raw bytes through handles: write stores bytes as the symbol's XML, read gives back the bytes the file makes.
TEST_F(EndToEnd, RawBytesRoundTripThroughFiles)
{
    struct Case {
        const char* symbol;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> matrix;
    for (int16_t v : {1, -2, 300, -4000, 5, 6, 7, 8, 9, 10, -11, 32767})
        matrix.insert(matrix.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8)});
    const Case cases[] = {
        {"MAIN.nCycle", BytesOf<uint32_t>(0xDEADBEEF)},
        {"MAIN.aMatrix", matrix},
        {"MAIN.eMode", BytesOf<int16_t>(10)},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.symbol);
        const std::string file = File("raw" + std::to_string(++n) + ".xml");
        const std::string in = File("raw" + std::to_string(n) + ".in");
        const std::string out = File("raw" + std::to_string(n) + ".out");
        Result r = Kx({"write", c.symbol, file, HexArg(c.bytes)});
        ASSERT_EQ(r.code, 0) << r;
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(file.c_str())) << kxbb::ReadFile(file);
        EXPECT_TRUE(doc.child("dataentry").child(c.symbol)) << kxbb::ReadFile(file);

        r = Kx({"read", c.symbol, file, "-"});
        ASSERT_EQ(r.code, 0) << r;
        EXPECT_EQ(HexTokens(r.out), c.bytes) << r;
        r = Kx({"read", c.symbol, file, out});
        ASSERT_EQ(r.code, 0) << r;
        EXPECT_EQ(FileBytes(out), c.bytes);

        // The same bytes from a file argument.
        ASSERT_TRUE(kxbb::WriteFile(in, std::string(c.bytes.begin(), c.bytes.end())));
        r = Kx({"write", c.symbol, file + ".2", in});
        ASSERT_EQ(r.code, 0) << r;
        EXPECT_EQ(kxbb::ReadFile(file + ".2"), kxbb::ReadFile(file));

        // Pieces that name their symbol (read and write a symbol) move the same bytes as the handle's.
        r = Kx({"read", "--by-symbol", c.symbol, file, "-"});
        ASSERT_EQ(r.code, 0) << r;
        EXPECT_EQ(HexTokens(r.out), c.bytes) << r;
        r = Kx({"write", "--by-symbol", c.symbol, file + ".3", in});
        ASSERT_EQ(r.code, 0) << r;
        EXPECT_EQ(kxbb::ReadFile(file + ".3"), kxbb::ReadFile(file));
    }
}

TEST_F(EndToEnd, LargeValuesMoveInPiecesBySymbol)
{
    // 400,000 bytes travel in several pieces; the sequence numbers of the symbol form must line up.
    const std::string file = File("samples.xml");
    Result r = Kx({"store", "-q", "--create", "Logger.aSamples", file});
    ASSERT_EQ(r.code, 0) << r;
    const std::string byHandle = File("samples-handle.bin");
    const std::string bySymbol = File("samples-symbol.bin");
    r = Kx({"read", "-q", "Logger.aSamples", file, byHandle});
    ASSERT_EQ(r.code, 0) << r;
    r = Kx({"read", "-q", "--by-symbol", "Logger.aSamples", file, bySymbol});
    ASSERT_EQ(r.code, 0) << r;
    ASSERT_EQ(FileBytes(byHandle).size(), 400000u);
    EXPECT_EQ(FileBytes(byHandle), FileBytes(bySymbol));
    r = Kx({"write", "-q", "--by-symbol", "Logger.aSamples", File("samples2.xml"), bySymbol});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(kxbb::ReadFile(File("samples2.xml")), kxbb::ReadFile(file));
}

// --base places relative file names in the boot directory or a user path of the registry.
TEST_F(EndToEnd, BaseDirectories)
{
    struct Case {
        const char* base;
        const char* dir;  // "" = the service has no such directory
    };
    const Case cases[] = {{"boot", "boot"}, {"user1", "user1"}, {"user2", "user2"}, {"12", "user2"}, {"user3", ""}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        const std::string name = "based" + std::to_string(++n) + ".xml";
        Result r = KxSim({"store", "--create", "--base", c.base, "MAIN.aMatrix", name});
        if (!*c.dir) {
            EXPECT_EQ(r.code, 1) << r;
            EXPECT_TRUE(r.OneErrorLine()) << r;
            for (const auto& e : std::filesystem::recursive_directory_iterator(Root()))
                EXPECT_NE(e.path().filename(), name) << e.path();
            continue;
        }
        ASSERT_EQ(r.code, 0) << r;
        const std::string placed = Root() + "/" + c.dir + "/" + name;
        EXPECT_EQ(ElementText(placed, "MAIN.aMatrix") == "<unreadable>", false) << placed;
        r = KxSim({"restore", "--base", c.base, "MAIN.aMatrix", name});
        EXPECT_EQ(r.code, 0) << r;
    }
}

// Failures end with exit code 1 and one line that names the router's or the service's error.
TEST_F(EndToEnd, ErrorsAreOneLine)
{
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {{"store", "--create", "MAIN.nNoSuchSymbol", File("none.xml")}, 1, "0x710"},
        {{"restore", "MAIN.nNoSuchSymbol", File("none.xml")}, 1, "restore failed"},
        {{"plc", "read", "MAIN.nNoSuchSymbol"}, 1, "0x710"},
        {{"plc", "write", "MAIN.nNoSuchSymbol", "00"}, 1, "0x710"},
        {{"read", "MAIN.nNoSuchSymbol", File("none.xml"), "-"}, 1, "0x710"},
        {{"restore", "MAIN.nCycle", File("missing.xml")}, 1, "restore failed"},
        {{"read", "MAIN.nCycle", File("missing.xml"), "-"}, 1, "read"},
        {{"clarify", File("missing.xml"), File("missing.plain.xml")}, 1, "clarify failed"},
        {{"plc", "write", "MAIN.nCycle", "0102030405"}, 1, "do not fit"},
        {{"plc", "write", "MAIN.nCycle", "zz"}, 2, "hex"},
        {{"plc", "write", "MAIN.nCycle", "0x"}, 2, "hex"},
        {{"--router", "127.0.0.1:http", "state"}, 1, "bad router address"},
        {{"write", "MAIN.nCycle", File("none.xml"), "0xabc"}, 2, "cannot read bytes"},
        {{"--plc", "1.2.3", "state"}, 1, "bad PLC address"},
        {{"--plc", "127.0.0.1.1.1:999", "plc", "read", "MAIN.nCycle"}, 1, "plc (symbol information) failed"},
        {{"diff", "MAIN.nNoSuchSymbol", File("none.xml")}, 2, "0x710"},
        {{"diff", "MAIN.nCycle", File("missing.xml")}, 2, "diff (reading the file through the service) failed"},
        {{"restore", "--dry-run", "MAIN.nCycle", File("missing.xml")}, 2, "restore --dry-run (reading the file"},
        {{"check", "MAIN.nCycle", File("missing.xml")}, 2, "cannot read"},
        {{"check", "MAIN.nCycle", KX_KXXML_EXE}, 2, "is not an XML document"},
        {{"check", "MAIN.nNoSuchSymbol", kSample}, 2, "0x710"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        Result r = Kx(c.args);
        EXPECT_EQ(r.code, c.code) << "kxxml " << line << "\n" << r;
        EXPECT_TRUE(r.OneErrorLine()) << "kxxml " << line << "\n" << r;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "kxxml " << line << "\n" << r;
    }
    EXPECT_FALSE(std::filesystem::exists(File("none.xml")));
    EXPECT_FALSE(std::filesystem::exists(File("missing.plain.xml")));
}

// A large array: the transfers show a progress line on standard error (none with -q), and the bytes
// arrive whole through every road.
TEST_F(EndToEnd, LargeTransfersShowProgress)
{
    const std::string symbol = "Logger.aSamples";
    const size_t count = SampleArrayCount(symbol);
    ASSERT_GT(count, 0u);
    std::vector<uint8_t> samples(count * sizeof(float));
    for (size_t i = 0; i < count; ++i) {
        const float f = static_cast<float>(i) * 0.25f - 1000.0f;
        std::memcpy(&samples[i * sizeof(float)], &f, sizeof(f));
    }
    const std::string total = std::to_string(samples.size());
    const std::string in = File("samples.bin"), out = File("samples.out"), file = File("samples.xml");
    ASSERT_TRUE(kxbb::WriteFile(in, std::string(samples.begin(), samples.end())));

    Result r = Kx({"write", symbol, file, in});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_NE(r.err.find("write: " + total + " of " + total + " bytes (100%)\n"), std::string::npos) << r;
    EXPECT_GT(std::filesystem::file_size(file), 1u << 20);

    r = KxSim({"restore", symbol, file});
    ASSERT_EQ(r.code, 0) << r;
    r = KxSim({"plc", "read", "--raw", symbol});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(HexTokens(r.out) == samples);
    EXPECT_NE(r.err.find("plc read: " + total + " of " + total + " bytes (100%)\n"), std::string::npos) << r.err;

    r = Kx({"read", symbol, file, out});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(FileBytes(out) == samples);
    EXPECT_NE(r.err.find("read: " + total + " of " + total + " bytes (100%)\n"), std::string::npos) << r.err;

    r = KxSim({"-q", "plc", "read", "--raw", symbol});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_EQ(HexTokens(r.out).size(), samples.size());
}

}  // namespace
