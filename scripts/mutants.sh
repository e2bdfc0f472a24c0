#!/usr/bin/env bash
# Deliberate faults of the kind a developer really makes, one at a time, each
# a small edit of a scratch copy of the tree (never of this one): the copy is
# built and the test programs run, and the tests that fail are listed. A fault
# no test notices is a gap in the suite. Not part of CI; takes 20-40 minutes.
#
#   scripts/mutants.sh            every fault
#   scripts/mutants.sh NAME...    the faults named
#
# The scratch copy and its build live in $QUELMOR_MUTANTS_DIR (default
# /tmp/quelmor-mutants) and are reused by the next run. Exits with 1 when the
# copy does not build or its tests fail without a fault, or a fault cannot be
# applied; the table itself is the result.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch="${QUELMOR_MUTANTS_DIR:-/tmp/quelmor-mutants}"
copy="$scratch/tree"
build="$scratch/build"

# name | file | perl substitution (run with -0, over the whole file)
faults=(
  'version-comparison-reversed|src/update/FileLists.cpp|s/Qt::CaseSensitive\) > 0/Qt::CaseSensitive) < 0/'
  'percent-rounded|src/update/Fetch.cpp|s/std::floor\(ratio/std::round(ratio/'
  'trim-removes-two-separators|src/update/Paths.cpp|s/if (\(!trimmed.isEmpty\(\) && isSeparator)/while $1/g'
  'folder-not-checked-for-unsafe-parts|src/update/Plan.cpp|s/\{entry.folder, entry.name\}/{entry.name}/'
  'device-names-allowed|src/update/Paths.cpp|s/if \(device.match/if (false && device.match/'
  'older-release-accepted|src/update/Offer.cpp|s/if \(offered >= 0 && offered < current\)/if (false)/'
  'signature-not-checked|src/update/Offer.cpp|s/if \(const Result verified = VerifyMinisign\(key, manifest, signature\); !verified\)/if (const Result verified = VerifyMinisign(key, manifest, signature); false \&\& !verified)/'
  'signed-build-takes-entries-without-hashes|src/update/Plan.cpp|s/if \(named && !settings.publicKey/if (false \&\& named \&\& !settings.publicKey/'
  'global-signature-not-checked|src/update/Signature.cpp|s/if \(!Ed25519Verifies\(key.key, file.globalSignature/if (false && !Ed25519Verifies(key.key, file.globalSignature/'
  'sha256-not-checked|src/transfer/Transfers.cpp|s/if \(digest != request.sha256\)/if (false)/'
  'cut-part-not-kept|src/update/PartFolder.cpp|s/recorded && \(size >= KeptPartBytes \|\| whole\)/recorded \&\& whole/'
  'whole-small-part-dropped|src/update/PartFolder.cpp|s/size >= KeptPartBytes \|\| whole\)/size >= KeptPartBytes || (whole \&\& false))/'
  'part-folder-not-removed-after-update|src/update/Main.cpp|s/(InstallFiles\(plan, arrived, settings\);\n)\s*RemovePartFolder\(lock\);/$1/'
  'resume-offset-off-by-one|src/transfer/Transfers.cpp|s/std::to_string\(job.kept\) \+ "-"/std::to_string(job.kept + 1) + "-"/'
  'one-retry-fewer|src/update/Fetch.cpp|s/constexpr int Tries = 4;/constexpr int Tries = 3;/'
  'offline-not-detected|src/transfer/Answer.cpp|s/: status == 0 \? Kind::Unreachable/: false ? Kind::Unreachable/'
  'manifest-installed-before-the-files|src/update/Journal.cpp|s/for \(std::size_t i = 0; i \+ 1 < journal.steps.size\(\); \+\+i\)/for (std::size_t i = journal.steps.size(); i-- > 0;)/'
  'news-url-with-one-slash|src/update/Main.cpp|s/ServerUrl \+ u.\/. \+ newsName/ServerUrl + newsName/'
  'continue-enabled-during-the-update|src/update/Main.cpp|s/Window.SetContinueEnabled\(false\);/Window.SetContinueEnabled(true);/'
  'part-folder-link-followed|src/update/PartFolder.cpp|s/if \(IsLink\(folder\) \|\| \(/if ((/'
  'temp-ini-link-followed|src/update/Main.cpp|s/std::FILE\* file = DropLink\(path\) \?/std::FILE* file = true ?/'
  'one-file-with-two-hashes-accepted|src/update/Plan.cpp|s/(byName.value\(entry.name\); other && )!same\(other\)/$1false \&\& !same(other)/'
  'a-file-where-a-folder-is-needed-accepted|src/update/Plan.cpp|s/(const PlannedEntry\* other = folders.value\(place.key\(\)\))\)/$1; other \&\& false)/'
  'own-names-of-the-updater-accepted|src/update/Plan.cpp|s/,\s*QStringLiteral\("\.quelmor-partial"\),/,/'
  'kept-statement-taken-over-by-a-game-file|src/update/Plan.cpp|s/QString::fromLatin1\(KeptStatementName\), old/old/'
  'expired-statement-accepted|src/update/Statement.cpp|s/if \(statement.expires <= now\)/if (false)/'
  'statement-from-the-future-accepted|src/update/Statement.cpp|s/if \(statement.signedAt > now \+ ClockToleranceSeconds\)/if (false)/'
  'statement-of-an-older-release-accepted|src/update/Statement.cpp|s/\(statement.release < last->release \|\| /(/'
  'statement-signed-earlier-accepted|src/update/Statement.cpp|s/ \|\| statement.signedAt < last->signedAt\)/)/'
  'statement-signature-not-checked|src/update/Statement.cpp|s/SignedBy\(\*signingKeys, text, signatures\) == 0/false/'
  'key-list-threshold-of-trusted-roots-ignored|src/update/Statement.cpp|s/byTrusted < trusted.threshold \|\|/false ||/'
  'key-list-threshold-of-its-own-roots-ignored|src/update/Statement.cpp|s/ \|\| byOwn < list.threshold\)/)/'
  'statement-not-kept|src/update/Main.cpp|s/if \(const Result kept = KeepStated\(offer->stated\); !kept\)/if (const Result kept = Result(); !kept)/'
  'missing-statement-accepted-once-one-was-trusted|src/update/Trust.cpp|s/if \(trusted.statementRequired\)/if (false)/'
  'key-lists-between-not-followed|src/update/Trust.cpp|s/keys->version \+ 1 < offered.version;/false;/'
  'manifest-fetched-when-up-to-date|src/update/Offer.cpp|s/statement->manifestSha256 == installed.sha256 &&/false \&\&/'
  'manifest-object-not-checked|src/update/Offer.cpp|s/object.size\(\) != statement.objectSize \|\| objectSha256 != statement.objectSha256/false/; s/sha256 != statement.manifestSha256\)/false)/'
  'retries-not-spread|src/update/Fetch.cpp|s/return ms \+ std::uniform_int_distribution<int>\(0, ms\)\(draw\);/return ms + 0 * std::uniform_int_distribution<int>(0, ms)(draw);/'
  'publisher-tidies-away-compressed-manifests|src/publish/ApplyStore.cpp|s/named.objects.insert\(digest.sha256 \+ QStringLiteral\(".zst"\)\);//'
  'game-file-named-release-ini-published|src/publish/Names.cpp|s/if \(SameName\(name, StatementFileName\) \|\| keyList/if (keyList/'
  'repair-reads-entries-not-checked|src/update/Plan.cpp|s/named && \(Fetches\(entry.step\) \|\| settings.repair\)/named \&\& Fetches(entry.step)/'
  'sizes-summed-without-overflow-check|src/update/Plan.cpp|s/needed = bytes > \(Most - needed\) \/ times \? Most : needed \+ bytes \* times;/needed = Most > 0 ? needed + bytes * times : Most;/'
  'whole-part-asked-for-again|src/transfer/Transfers.cpp|s/job.whole = size == total && !r.sha256.empty\(\);/job.whole = false;/'
  'body-of-416-fails-the-transfer|src/transfer/Answer.cpp|s/(the kept bytes are the whole file\n\s*)job.errorPage = true;/$1/'
  'weak-etag-used-to-resume|src/transfer/Answer.cpp|s/job.etag.empty\(\) \|\| weak \?/job.etag.empty() || (weak \&\& false) ?/'
  'second-updater-let-in|src/update/Main.cpp|s/if \(locking == Locking::Held\)\n\s*return MainEnd::AnotherRuns;//'
  'failed-install-not-taken-back|src/update/Install.cpp|s/if \(TakeBackInstall\(journal\)\)/if (true)/'
  'failed-update-leaves-continue-disabled|src/update/Main.cpp|s/(Window.ReportFailure\(failure.player\(\).text\(\), failure.message\(\)\);\n\s*)Window.SetContinueEnabled\(true\);/$1/'
  'temp-ini-left-behind|src/update/Main.cpp|s/\n    QFile::remove\(AppPath\(QStringLiteral\("temp.ini"\)\)\);//'
  'news-without-deadline|src/update/Fetch.cpp|s/request.timeLimitMs = std::max/request.timeLimitMs = 0 * std::max/'
  'long-news-lines-not-broken|src/ui/frmUpdate.cpp|s/setPlainText\(BreakLongLines\(text\)\)/setPlainText(true ? text : BreakLongLines(text))/'
  'signed-manifest-without-release-accepted|src/update/Offer.cpp|s/if \(offered < 0 && current >= 0 && signedOnly\)/if (false \&\& signedOnly)/'
  'publisher-takes-a-copy-cut-short|src/publish/FileBytes.cpp|s/if \(!out.flush\(\) \|\| out.size\(\) != copied.size\)/if (false)/'
  'publisher-reuses-a-version|src/publish/Plan.cpp|s/\} else if \(first != nullptr\) \{/} else if (false) {/'
  'mirror-never-tried|src/update/Main.cpp|s/for \(qsizetype i = 0; i < servers.size\(\); \+\+i\)/for (qsizetype i = 0; i < 1; ++i)/'
  'last-mirror-failure-reported|src/update/Main.cpp|s/if \(!failed\)\n\s*failed = failure;/failed = failure;/'
  'mirror-not-announced|src/update/Main.cpp|s/Window.SetL3\(\s*QStringLiteral\("Trying mirror/WriteError(QStringLiteral("Trying mirror/'
  'player-told-the-technical-text|src/update/Main.cpp|s/Window.ReportFailure\(failure.player\(\).text\(\), /Window.ReportFailure(failure.message(), /'
  'damaged-file-told-as-a-broken-server|src/update/Fetch.cpp|s/return ForPlayer::DamagedFile\(\);/return ForPlayer::ServerBroken();/'
  'untrusted-server-told-as-a-broken-one|src/transfer/Answer.cpp|s/(not trusted \(\" \+ detail \+ \"\)\";\n\s*transient = false;\n)\s*untrusted = true;\n/$1/'
  'proxy-login-told-as-a-broken-server|src/transfer/Answer.cpp|s/job.status == 407  /job.status == 0    /'
  'advice-left-out|src/update/Failure.h|s/return what \+ u. . \+ todo;/return what;/'
  'publisher-follows-links|src/publish/Scan.cpp|s/it->symlink_status\(error\).type\(\);\n(\s*if \(error\)\n\s*break;)/it->status(error).type();\n$1/'
  'publisher-takes-the-part-folder-name|src/publish/Names.cpp|s/\{"\.quelmor-partial", "[^}]*\},//'
  'publisher-updater-names-as-folders-case-sensitive|src/publish/Names.cpp|s/constFind\(FoldName\(QLatin1String\(own.name\)\)\)/constFind(QLatin1String(own.name))/'
  'publisher-keeps-version-of-a-replaced-server-copy|src/publish/Plan.cpp|s/if \(copy != nullptr && DiffersFromEntry/if (false && DiffersFromEntry/'
  'publisher-keeps-version-of-a-replaced-kept-copy|src/publish/Plan.cpp|s/StaleCopyReason\(entry, &digest, previous\)/StaleCopyReason(entry, nullptr, previous)/'
  'retry-line-counts-from-one|src/update/Fetch.cpp|s/RetryLine\(outcome, name, attempt \+ 1\)/RetryLine(outcome, name, attempt)/'
  'busy-statuses-without-429|src/transfer/Answer.cpp|s/status == 429 \|\| //'
  'no-connection-said-to-be-a-lost-one|src/update/Fetch.cpp|s/if \(outcome.kind == transfer::Kind::Unreachable\)\n(\s*)return QStringLiteral\(\"No connection/if (false)\n$1return QStringLiteral(\"No connection/'
  'resumed-cut-said-to-be-a-busy-server|src/update/Fetch.cpp|s/outcome.httpStatus != 200 && outcome.httpStatus != 206/outcome.httpStatus != 200/'
  'host-not-found-brief-copied|src/transfer/Answer.cpp|s/brief = "Host name not found";/brief = "Connection refused";/'
  'offline-headline-reworded|src/update/Main.cpp|s/"Cannot reach the update server!"/"Cannot reach the server!"/'
  'unwritable-folder-headline-copied|src/update/Main.cpp|s/"Cannot update: the game folder is not writable!"/"Cannot reach the update server!"/'
  'retry-after-ignored|src/update/Fetch.cpp|s/if \(outcome.retryAfter >= 0\)/if (false)/'
  'retry-after-read-as-milliseconds|src/update/Fetch.cpp|s/outcome.retryAfter \* 1000/outcome.retryAfter/'
  'upper-case-sha256-counted-as-damaged|src/update/Plan.cpp|s/return entry.FileSha256.toLower\(\);/return entry.FileSha256;/'
  'upper-case-sha256-refused-as-broken|src/update/Plan.cpp|s/\[0-9a-fA-F\]\{64\}/[0-9a-f]{64}/'
  'same-release-refused|src/update/Offer.cpp|s/offered < current\)/offered <= current)/'
  'manifest-without-version-accepted|src/update/Offer.cpp|s/if \(ProfileValue\(server, version, QStringLiteral\("Version"\)\).isEmpty\(\)\)/if (false)/'
  'endless-body-not-cut-at-its-size|src/transfer/Answer.cpp|s/if \(request.size >= 0 && outcome.received \+ arrived > request.size\)/if (false)/'
  'redirect-from-https-to-http-followed|src/transfer/Transfers.cpp|s/secure \? "https" : "http,https"/secure ? "http,https" : "https"/'
  'identity-encoding-refused|src/transfer/Answer.cpp|s/ && job.contentEncoding != "identity"//'
  'repair-check-line-reworded|src/update/FolderView.cpp|s/"Checking %1..."/"Checking File %1..."/'
  'repair-count-not-raised|src/update/Plan.cpp|s/(missing or damaged: fetched again\n\s*)\+\+plan.changedCount;/$1/'
  'part-of-exactly-one-mib-dropped|src/update/PartFolder.cpp|s/size >= KeptPartBytes/size > KeptPartBytes/'
  'continue-not-enabled-at-the-end|src/update/Main.cpp|s/(void Finish\(const QString& status\) \{\n\s*Window.SetContinueEnabled\()true/$1false/'
  'version-line-starts-at-0.1|src/update/Main.cpp|s/QStringLiteral\("Version 0.0"\)/QStringLiteral("Version 0.1")/'
  'news-mark-kept|src/update/News.cpp|s/if \(text.startsWith\("\\xEF\\xBB\\xBF"\)\)\n\s*text = text.sliced\(3\);\n//'
  'news-8-bit-read-as-latin1|src/update/News.cpp|s/return QString::fromLocal8Bit\(text\);/return QString::fromLatin1(text);/'
  'folders-split-at-backslash-only|src/update/Paths.cpp|s/"\[\\\\\\\\\/\]"/"[\\\\\\\\]"/'
  'last-entry-skipped|src/update/FileLists.cpp|s/digits.toLongLong\(\) <= max/digits.toLongLong() < max/'
  'file-versions-compared-ignoring-case|src/update/FileLists.cpp|s/Qt::CaseSensitive\) > 0/Qt::CaseInsensitive) > 0/'
  'exit-after-offline-ends-with-zero|src/ui/Actions.cpp|s/exit\(modUpdate::Window.OfflineReason.isEmpty\(\) \? 0 : 1\)/exit(0)/'
  'closing-the-window-does-not-exit|src/ui/frmUpdate.cpp|s/(QWidget::closeEvent\(event\);)\n\s*Label1_Click\(\);/$1/'
  'game-started-without-its-switch|src/ui/Actions.cpp|s/game.setArguments\(\{QStringLiteral\("--startedbypatcher"\)\}\);//'
  'version-key-line-asks-the-server|src/main.cpp|s/if \(settings.publicKey.isEmpty\(\)\)/if (settings.servers.isEmpty())/'
  'publisher-release-not-raised|src/publish/Plan.cpp|s/release \+ 1/release/g'
  'publisher-takes-the-linux-updater|src/publish/Plan.cpp|s/FoldName\(file.name\) == QStringLiteral\("quelmor"\) \|\|\s*//'
  'publisher-allows-percent|src/publish/Names.cpp|s/"#%"/"#"/'
  'publisher-copies-unchanged-bytes|src/publish/Plan.cpp|s/if \(old.name != file.name \? !SameBytes\(file.path, target\) : !sameBytes\)/if (true)/'
  'publisher-sorts-by-name-only|src/publish/Scan.cpp|s/return a.folder != b.folder \? a.folder < b.folder : a.name < b.name;/return a.name < b.name;/'
  'publisher-names-differ-by-letter-case|src/publish/Names.cpp|s/return name.toCaseFolded\(\);/return name;/'
  'publisher-wrong-command-line-ends-with-1|src/publish/Cli.cpp|s/PublishUsage\(\);\n    return 2;/PublishUsage();\n    return 1;/'
  'publisher-changed-file-keeps-its-version|src/publish/Plan.cpp|s/entry.version = NextFileVersion\(old.version\);/entry.version = old.version;/'
  'publisher-patch-kept-above-half-the-file|src/publish/ApplyStore.cpp|s/entry.size.toLongLong\(\) \/ 2/entry.size.toLongLong()/'
  'publisher-patches-a-file-below-1-mib|src/publish/PlanStore.cpp|s/size < SmallestPatchedFile \|\|/size < SmallestPatchedFile - 1 ||/'
  'publisher-patches-only-from-the-last-release|src/publish/PlanStore.cpp|s/m < older.manifests.size\(\)/m < qMin<qsizetype>(1, older.manifests.size())/'
  'publisher-no-objects-from-an-old-folder|src/publish/PlanStore.cpp|s/plan.seeds.append\(\{copy, sha256\}\);//'
  'publisher-never-removes-objects|src/publish/Store.cpp|s/keep->contains\(name\)\)/keep->contains(name) || true)/'
  'publisher-removes-objects-of-the-release-before|src/publish/ApplyStore.cpp|s/plan.release \+ 1, KeptReleases, problems/plan.release + 1, KeptReleases - 1, problems/'
  'publisher-uses-an-object-with-other-bytes|src/publish/PlanStore.cpp|s/if \(const QString why = BytesProblem\(object, entry.size, entry.sha256\); !why.isEmpty\(\)\)/if (const QString why = QString(); !why.isEmpty())/'
  'publisher-keeps-a-fourth-manifest|src/publish/Store.cpp|s/before\+\+ < KeptReleases - 1/before++ < KeptReleases/'
  'publisher-writes-no-patch-keys|src/publish/ServerManifest.cpp|s/k < entry.patches.size\(\); \+\+k\) \{/k < 0; ++k) {/'
  'check-patch-not-applied|src/publish/CheckStore.cpp|s/if \(sound.isEmpty\(\)\)\n(\s*)return;/if (true)\n$1return;/'
  'check-objects-not-checked|src/publish/CheckStore.cpp|s/if \(manifest.byHash && IsSha256\(entry.sha256\) &&/if (false \&\& IsSha256(entry.sha256) \&\&/'
  'check-patch-name-not-checked|src/publish/CheckStore.cpp|s/patch.name != PatchName\(patch.base, entry.sha256\)\)/false)/'
  'speed-overflow-not-checked|src/update/LimitRate.cpp|s/if \(!fits \|\| whole > Largest \/ unit\)/if (!fits)/'
  'speed-fraction-dropped|src/update/LimitRate.cpp|s/fraction.isEmpty\(\) \? 0 :/true ? 0 :/'
  'limit-rate-environment-ignored|src/update/LimitRate.cpp|s/QString given = environment;/QString given = environment.left(0);/'
  'speed-cap-saves-up-without-end|src/transfer/SpeedCap.cpp|s/now - SavedUp/now - 1000 * SavedUp/'
  'speed-cap-charged-in-microseconds|src/transfer/SpeedCap.cpp|s/nsPerByte_\(1e9 \//nsPerByte_(1e6 \//'
  'proxy-asked-for-basic-only|src/transfer/Transfers.cpp|s/CURLOPT_PROXYAUTH, CURLAUTH_ANY/CURLOPT_PROXYAUTH, CURLAUTH_BASIC/'
  'speed-cap-not-applied|src/transfer/Transfers.cpp|s/if \(options_.bytesPerSecond > 0\)/if (options_.bytesPerSecond > 0 \&\& false)/'
  'no-fallback-after-a-failed-patch|src/update/Fetch.cpp|s/if \(patched\)\n(\s*)return file.size;/$1return file.size;/'
  'whole-file-fetched-despite-a-patch|src/update/PatchChoice.cpp|s/file.patch = std::move\(patch\);//'
  'patch-made-from-a-file-of-2-gib|src/update/Patch.cpp|s/if \(base.size\(\) >= PatchedFileLimit \|\| fresh.size\(\) >= PatchedFileLimit\)/if (false)/'
  'patch-named-in-the-window|src/update/PatchChoice.cpp|s/patch->name = entry.name;/patch->name = entry.name + QStringLiteral(" (patch)");/'
  'files-not-fetched-by-hash|src/update/Plan.cpp|s/plan.byHash && !entry.sha256.isEmpty\(\)/false/'
  'install-without-a-journal|src/update/Journal.cpp|s/Result written = WriteFlushed\(fresh, JournalBytes\(journal\)\);/Result written;\n    if (!journal.steps.empty())\n        return;/'
  'crash-left-unfinished|src/update/Main.cpp|s/locking == Locking::Taken && FinishLastInstall\(\)/false/'
  'crash-always-taken-back|src/update/Journal.cpp|s/bool forward = true;/bool forward = false;/'
  'replaced-file-not-kept|src/update/Journal.cpp|s/if \(step.kept.isEmpty\(\) \|\| step.aside \|\| IsPlainFile\(Absolute\(step.kept\)\)\)/if (true)/'
  'replaced-file-moved-aside|src/update/Journal.cpp|s/KeepUnder\(target, Absolute\(step.kept\), &copied\)/MoveInto(target, Absolute(step.kept))/'
  'damaged-staged-file-installed|src/update/Journal.cpp|s/return IsPlainFile\(staged\) && HasBytes\(staged, step.size, step.sha256\);/return IsPlainFile(staged);/'
  'journal-cut-short-read|src/update/Journal.cpp|s/lines\[lines.size\(\) - 2\] != "end"/false/'
  'unwritable-folder-said-to-be-running|src/update/Main.cpp|s/if \(locking == Locking::Held\)/if (locking != Locking::Taken)/'
  'copies-not-counted|src/update/Plan.cpp|s/add\(file.size, places\[k\] - 1\);//'
  'patched-file-not-counted|src/update/Plan.cpp|s/add\(missing\(\*file.patch\)\);\n\s*add\(file.size\);/add(missing(*file.patch));/'
  'patch-output-not-reserved|src/update/Patch.cpp|s/const int error = ::posix_fallocate\(file.handle\(\), 0, static_cast<off_t>\(size\)\);/const int error = file.resize(size) ? 0 : EIO;/'
  'patch-base-link-followed|src/update/Paths.cpp|s/ \| O_NOFOLLOW \| O_NONBLOCK/ | O_NONBLOCK/'
  'patch-base-identity-not-checked|src/update/Patch.cpp|s/if \(!id.isEmpty\(\) && found != id\)/if (!id.isEmpty() \&\& found != id \&\& false)/'
  'windows-characters-allowed|src/update/Paths.cpp|s/QStringLiteral\("<>\\"\|\?\*"\)/QStringLiteral("")/'
  'superscript-devices-allowed|src/update/Paths.cpp|s/com\[0-9\\u00b9\\u00b2\\u00b3\]/com[0-9]/'
  'manifest-answer-deadline-ignored|src/update/Fetch.cpp|s/if \(answerSeconds > 0\) \{/if (false) {/'
  'limit-rate-takes-the-next-option|src/update/LimitRate.cpp|s/given = next.startsWith\(QStringLiteral\("--"\)\) \? QString\(\) : next;/given = next;/'
  'second-patch-offer-ignored|src/update/PatchChoice.cpp|s/constexpr int MostPatches = 3;/constexpr int MostPatches = 1;/'
  'patch-base-in-another-folder-taken|src/update/PatchChoice.cpp|s/ \|\| FolderOf\(entry.local\) != entry.folder//'
  'patch-chosen-while-the-whole-file-waits|src/update/PatchChoice.cpp|s/folder.parts.contains\(QFileInfo\(PartRecordOf\(file.key\)\).fileName\(\)\)\)/(folder.parts.contains(QString()) \&\& false))/'
  'objects-asked-from-the-first-server|src/update/Main.cpp|s/(const std::optional<Offer> offer = AskServers\(installed, settings\);\n)/$1    ServerUrl = settings.servers.value(0);\n/'
  'install-flush-failure-ignored|src/update/Journal.cpp|s/if \(const Result flushed = FlushWhileEventsRun\(paths, renames\); !flushed\)/if (const Result flushed = FlushWhileEventsRun(paths, renames); false \&\& !flushed)/'
  'link-in-the-part-folder-taken-back|src/update/Journal.cpp|s/\(IsPlainFile\(kept\) \|\| \(step->aside && IsLink\(kept\)\)\)/(IsPlainFile(kept) || IsLink(kept))/'
  'busy-server-told-as-broken|src/update/Fetch.cpp|s/(case transfer::Kind::Busy:\n\s*)return ForPlayer::ServerBusy\(\);/$1return ForPlayer::ServerBroken();/'
  'unwritable-folder-told-as-a-broken-server|src/update/Fetch.cpp|s/(case transfer::Kind::Unwritable:\n\s*)return ForPlayer::NotWritable\(\);/$1return ForPlayer::ServerBroken();/'
  'lost-connection-told-as-a-broken-server|src/update/Fetch.cpp|s/(case transfer::Kind::Unreachable:\n)(\s*)case transfer::Kind::ConnectionLost:\n(\s*)return ForPlayer::ConnectionLost\(\);/$1$3return ForPlayer::ConnectionLost();\n$2case transfer::Kind::ConnectionLost:\n$3return ForPlayer::ServerBroken();/'
  'identical-entries-fetched-twice|src/update/Plan.cpp|s/if \(!byKey.contains\(key\)\) \{/if (true) {/'
  'kept-part-counted-as-missing|src/update/Plan.cpp|s/return file.size - folder.parts.value/return file.size - 0 * folder.parts.value/'
  'replaced-files-not-counted-without-links|src/update/Plan.cpp|s/        add\(replaced\);\n//'
  'damaged-file-left-by-a-repair|src/update/Plan.cpp|s/if \(place.damaged\) \{/if (false) {/'
  'place-that-may-not-be-written-taken|src/update/Plan.cpp|s/if \(place.refusal\)\n\s*throw \*place.refusal;//'
  'repair-checks-only-the-size|src/update/FolderView.cpp|s/return !HasBytes\(path, size, entry.sha256\);/return path.isEmpty() \&\& false;/'
  'missing-file-not-fetched-by-a-repair|src/update/FolderView.cpp|s/\(!place.file \|\| IsDamaged/(place.file \&\& IsDamaged/'
  'patch-failure-not-said|src/update/Fetch.cpp|s/(\n\s*)modUpdate::Window.Say\(/$1if (false)\n            modUpdate::Window.Say(/'
  'busy-answer-not-tried-again|src/transfer/Answer.cpp|s/kind,\n\s*IsBusyStatus\(job.status\)\);/kind, IsBusyStatus(job.status) \&\& false);/'
  'unreachable-reason-not-told|src/transfer/Answer.cpp|s/        job.outcome.brief = brief;/        static_cast<void>(brief);/'
  'broken-connection-told-as-no-connection|src/transfer/Answer.cpp|s/: status == 0 \? Kind::Unreachable/: true ? Kind::Unreachable/'
  'journal-written-after-the-moves|src/update/Install.cpp|s/        WriteJournal\(journal\);\n//; s/        CompleteInstall\(journal, false\);/        CompleteInstall(journal, false);\n        WriteJournal(journal);/'
  'replaced-file-permissions-not-kept|src/update/Install.cpp|s/permissions = QFile::permissions\(target\); \/\/ the new file keeps/permissions = QFile::permissions(staged); \/\/ the new file keeps/'
  'lock-file-left-behind|src/update/Lock.cpp|s/    ::unlink\(QFile::encodeName\(lock.path\).constData\(\)\);\n//'
  'name-ending-in-a-dot-accepted|src/update/Paths.cpp|s/if \(part.endsWith\(QLatin1Char\(.\..\)\) \|\| /if (/'
  'kept-part-longer-than-its-file-continued|src/transfer/Transfers.cpp|s/size > 0 && size <= total &&/size > 0 \&\&/'
)

wanted=("$@")
selected=()
for fault in "${faults[@]}"; do
  name="${fault%%|*}"
  if [ ${#wanted[@]} -eq 0 ] || [[ " ${wanted[*]} " == *" $name "* ]]; then
    selected+=("$fault")
  fi
done
if [ ${#selected[@]} -eq 0 ]; then
  echo "no fault of that name; the faults are:" >&2
  printf '  %s\n' "${faults[@]%%|*}" >&2
  exit 2
fi

# Brings the scratch copy to the tree's files (committed or not): what differs
# is copied with a new time, so the build sees it; what the tree lacks goes.
mkdir -p "$copy"
(cd "$root" && git ls-files --cached --others --exclude-standard) | sort -u >"$scratch/files"
while read -r file; do
  [ -f "$root/$file" ] || continue
  if ! cmp -s "$root/$file" "$copy/$file"; then
    mkdir -p "$(dirname "$copy/$file")"
    cp "$root/$file" "$copy/$file"
  fi
done <"$scratch/files"
(cd "$copy" && find . -type f | sed 's|^\./||' | sort) | comm -23 - "$scratch/files" |
  while read -r file; do rm -f "$copy/$file"; done
cmake -S "$copy" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >"$scratch/configure.log" 2>&1 ||
  { echo "configure failed: $scratch/configure.log" >&2; exit 1; }
targets=(updater_tests manifest_tests Quelmor quelmor-publish)
[ -e "$copy/tests/e2e/test_e2e.cpp" ] && targets+=(e2e_tests)

# Builds the copy and runs every test program and CTest's build_settings (what
# the built updater says with --version); prints the failed tests, one a line
# (and "<program>-ended-early-..." when a program crashed or was stopped before
# its last test, which counts as caught), or "BUILD FAILED".
run_tests() {
  if ! cmake --build "$build" -j2 --target "${targets[@]}" >"$scratch/build.log" 2>&1; then
    echo "BUILD FAILED"
    return
  fi
  local program status
  for program in updater_tests manifest_tests e2e_tests; do
    [ -x "$build/tests/$program" ] || continue
    status=0
    (cd "$build/tests" && QT_QPA_PLATFORM=offscreen timeout 900 "./$program") \
      >"$scratch/$program.log" 2>&1 || status=$?
    sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' "$scratch/$program.log" | grep -vx '[0-9]*' |
      sort -u || true
    if [ "$status" -ne 0 ] && ! grep -q '^\[==========\] .* ran\.' "$scratch/$program.log"; then
      echo "$program-ended-early-with-status-$status"
    fi
  done
  (cd "$build" && ctest -R '^build_settings$' --output-on-failure) >"$scratch/build_settings.log" 2>&1 ||
    echo "build_settings"
}

baseline="$(run_tests)"
if [ -n "$baseline" ]; then
  echo "without a fault the copy already fails:" >&2
  echo "$baseline" >&2
  exit 1
fi

status=0
for fault in "${selected[@]}"; do
  IFS='|' read -r name file substitution <<<"$fault"
  cp "$copy/$file" "$scratch/original"
  perl -0pi -e "$substitution" "$copy/$file"
  if cmp -s "$copy/$file" "$scratch/original"; then
    printf '%-45s NOT APPLIED: the code changed; update the fault\n' "$name"
    status=1
    continue
  fi
  failed="$(run_tests)"
  cat "$scratch/original" >"$copy/$file" # a new time, so the next build sees it
  if [ "$failed" = "BUILD FAILED" ]; then
    printf '%-45s DOES NOT BUILD (see %s)\n' "$name" "$scratch/build.log"
    cp "$scratch/build.log" "$scratch/build-$name.log"
    status=1
  elif [ -z "$failed" ]; then
    printf '%-45s NOT CAUGHT\n' "$name"
  else
    printf '%-45s caught by %d: %s\n' "$name" "$(echo "$failed" | wc -l)" \
      "$(echo "$failed" | paste -sd ' ')"
  fi
done
exit $status
