// The test programs' way to make Windows refuse a write or a read: a DACL on a key that denies
// some rights (KEY_SET_VALUE, KEY_QUERY_VALUE) to everyone and allows everything else.
#pragma once

#include <windows.h>

// `key` must be open with WRITE_DAC. Returns what RegSetKeySecurity answered.
inline LONG deny_to_everyone(HKEY key, REGSAM rights)
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    static unsigned char acl_bytes[512];
    PACL acl = reinterpret_cast<PACL>(acl_bytes);
    InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION);
    AddAccessDeniedAce(acl, ACL_REVISION, rights, everyone);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    const LONG status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    FreeSid(everyone);
    return status;
}
