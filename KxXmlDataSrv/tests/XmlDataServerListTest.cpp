// The job engine in process, for faults that cannot be caused from outside: an open that ends with an
// allocation failure after its handle was made.
#include "XmlAppServerTestEnv.h"

#include <cstdlib>
#include <fstream>
#include <new>

#include "XmlDataServer.h"
#include "XmlDataServerList.h"

using namespace apptest;

namespace {

// Once set on a thread, the first allocation of at least this many bytes on that thread fails.
thread_local size_t t_failFrom = 0;

void* Allocate(size_t n)
{
    if (t_failFrom != 0 && n >= t_failFrom) {
        t_failFrom = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* AllocateOrNull(size_t n) noexcept
{
    try {
        return Allocate(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(size_t n)
{
    return Allocate(n);
}
void* operator new[](size_t n)
{
    return Allocate(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    return AllocateOrNull(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept
{
    return AllocateOrNull(n);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

class DataServerListTest : public AppServerEnv {};

// The user name is copied onto the data server after its handle and exclusive path were entered; when that
// copy fails, the exception leaves neither behind, so the file can be opened for writing again at once.
TEST_F(DataServerListTest, OpenEndingWithAnExceptionLeavesNoHandleAndNoBusyPath)
{
    CXmlDataServerList list(nullptr, 1);
    const std::string src = m_dir + "/src.xml";
    const std::string dst = m_dir + "/dst.xml";
    {
        std::ofstream out(src);
        out << "<dataentry/>";
    }
    const std::string hugeUser(1u << 20, 'u');
    for (bool clarify : {false, true}) {
        SCOPED_TRACE(clarify ? "clarify" : "write open");
        uint16_t handle = 0;
        auto open = [&](const char* user) {
            return clarify ? list.AddClarify(PlcAddr(), 0, src.c_str(), dst.c_str(), user, "", 0xFFFFFFFFu, 0, &handle)
                           : list.AddWrite(PlcAddr(), 0, XMLDS_MODE_CREATE, dst.c_str(), "MAIN.nTiny",
                                           "/dataentry/MAIN.nTiny", user, "", 0xFFFFFFFFu, 0, &handle);
        };
        t_failFrom = hugeUser.size();
        EXPECT_THROW(open(hugeUser.c_str()), std::bad_alloc);
        t_failFrom = 0;
        EXPECT_EQ(list.GetServerCount(), 0u);
        ASSERT_EQ(S_OK, open(""));
        EXPECT_EQ(S_OK, list.Remove(handle, true));
    }
}

}  // namespace
