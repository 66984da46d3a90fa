#include "json.h"

#include "package_record.h"
#include "signing.h"

namespace pkgtool {

Json packageJson(const std::string &path, const Package &pkg,
                 const std::vector<std::string> &problems,
                 const std::vector<std::pair<std::string, Json>> &members)
{
    static const char *const names[PKG_ELEMENT_COUNT] = {"launcher", "unzip utility",
                                                         "global info", "command table", "image"};
    Json j;
    j["file"] = path;
    j["file_size"] = pkg.fileSize;
    j["valid"] = problems.empty();
    if (pkg.located) {
        j["directory_offset"] = pkg.signedSize - PKG_TRAILER_SIZE;
        Json elements = Json::array();
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            elements.push_back({{"index", i},
                                {"name", names[i]},
                                {"offset", pkg.offset(i)},
                                {"size", pkg.sizes[i]}});
        j["elements"] = elements;
        j["first_image_size"] = pkg.firstImageSize;
        j["second_image_size"] = pkg.secondImageSize;
        j["image_pair"] = pkg.isImagePair();
        j["record_count"] = pkg.recordCount;
        j["strict"] = pkg.strict;
        Json records = Json::array();
        for (const Record &r : pkg.records)
            records.push_back({{"distribution", r.distribution},
                               {"distribution_name", pkgDistributionName(r.distribution)},
                               {"release", r.release},
                               {"architecture", r.architecture},
                               {"architecture_name", pkgArchitectureName(r.architecture)},
                               {"mode", r.mode},
                               {"command", r.command},
                               {"arguments", r.arguments}});
        j["records"] = records;
        const PackageRecord rec = readPackageRecord(pkg.directory);
        if (rec.state == 0) {
            j["package_record"] = nullptr;
        } else if (rec.state < 0) {
            j["package_record"] = {{"valid", false}};
        } else {
            Json images = Json::array();
            for (const PkgImageFacts &f : rec.images)
                images.push_back({{"entries", f.entries},
                                  {"unpacked_bytes", f.unpackedBytes},
                                  {"archive_bytes", f.archiveBytes}});
            Json digests = Json::array();
            for (const Sha256 &d : rec.digests)
                digests.push_back(hexDigest(d));
            j["package_record"] = {{"valid", true},       {"version", rec.version},
                                   {"size", rec.size},     {"images", images},
                                   {"sha256", digests},
                                   {"checksums", rec.checksums}};
        }
    }
    if (pkg.located) {
        std::string error;
        const SignatureState sig = checkSignature(path, pkg, {}, error);
        if (!sig.signedPackage)
            j["signature"] = nullptr;
        else
            j["signature"] = {{"size", pkg.signatureSize},
                              {"valid", sig.sound && error.empty()},
                              {"key_id", sig.keyId},
                              {"trusted_comment", sig.trustedComment}};
    }
    for (const auto &m : members)
        j[m.first] = m.second;
    j["problems"] = problems;
    return j;
}

std::string jsonText(const Json &value)
{
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace pkgtool
