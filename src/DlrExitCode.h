#pragma once

// Every value the process can end with. The wizard returns the first group (these numbers are
// what it has always returned); a run without a window also tells an administrator what went
// wrong with the second group, one code per kind of failure.
namespace DlrExitCode {

enum Code : int {
    // The wizard
    Success = 0,             // installed, nothing to do, finished or closed, the usage text
    NothingChosen = 0,       // no product ticked
    DownloadCannotStart = 0, // a download could not even begin; the user was told
    AbortedByUser = -1,      // Abort on a failed download
    Failure = 1,             // no window could be made, or no usable manifest
    ProcessorTooOld = 1,

    // A run without questions, besides Success and ProcessorTooOld
    BadUsage = 2,
    SignInRefused = 3,
    ServiceUnreachable = 4, // no answer from the service, or a manifest that does not parse
    NotEnoughDiskSpace = 5,
    DownloadFailed = 6, // after its retries
    ChecksumMismatch = 7,
    CertificateRefused = 8,
    InstallerError = 9,      // or a package failed its checks just before its install
    ProductListRefused = 10, // not signed by the maker, older than one already seen, or expired
};

} // namespace DlrExitCode
