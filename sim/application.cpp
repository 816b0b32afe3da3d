#include "application.h"

namespace sim {

Application::~Application()
{
    if (handle_ != 0)
        Close();
}

std::u16string Application::LinkPath(unsigned linkNumber)
{
    std::u16string path = u"\\\\.\\";
    for (char c : std::string(HCT_EXTRA_LINK_BASE) + std::to_string(linkNumber))
        path.push_back(static_cast<char16_t>(c));
    return path;
}

NTSTATUS Application::Open(unsigned linkNumber) { return OpenPath(LinkPath(linkNumber)); }

NTSTATUS Application::OpenPath(std::u16string_view path)
{
    if (handle_ != 0)
        Close();
    hk::Handle handle = 0;
    NTSTATUS status = hk::OpenFile(path, &handle);
    if (status == STATUS_SUCCESS)
        handle_ = handle;
    return status;
}

NTSTATUS Application::Ioctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                            ULONG_PTR *information)
{
    if (handle_ == 0)
        return STATUS_INVALID_PARAMETER;
    return hk::DeviceIoControl(handle_, code, in, inLength, out, outLength, information);
}

NTSTATUS Application::SendMajor(UCHAR major, UCHAR minor)
{
    if (handle_ == 0)
        return STATUS_INVALID_PARAMETER;
    return hk::SendMajor(handle_, major, minor);
}

NTSTATUS Application::Close()
{
    if (handle_ == 0)
        return STATUS_INVALID_PARAMETER;
    hk::Handle handle = handle_;
    handle_ = 0;
    return hk::CloseFile(handle);
}

}  // namespace sim
