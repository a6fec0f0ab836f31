#pragma once

// The maker's web service. One place for the deployment host: the default manifest
// server, the sign-up page, the success page, the usage example and the old-processor
// message all derive from it. A reserved example domain, so a default build never
// contacts a real host.
namespace DlrHost {
inline constexpr char WebHost[] = "www.tessaline.example";
inline constexpr char WebSite[] = "https://www.tessaline.example";
inline constexpr char SignUpPath[] = "forum/register.php?action=signup";
inline constexpr char SuccessPath[] = "/view/Install-Success";
} // namespace DlrHost
