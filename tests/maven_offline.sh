# Sourced by the example checks: a scratch folder ($work, removed on exit)
# with the artifacts installed by scripts/install-maven.sh into a local
# repository, and mvn_offline, Maven with every repository mirrored to
# Debian's own (/usr/share/maven-repo, no network). Needs $build and $project.
command -v mvn >/dev/null || { echo "no maven: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/settings.xml" <<'XML'
<settings>
  <mirrors>
    <mirror>
      <id>debian</id>
      <mirrorOf>*</mirrorOf>
      <url>file:///usr/share/maven-repo</url>
    </mirror>
  </mirrors>
</settings>
XML
MAVEN_LOCAL_REPOSITORY="$work/repository" "$project/scripts/install-maven.sh" "$build"

# mvn_offline ARG...: Maven in the current folder, offline as above.
mvn_offline() {
  mvn -B -q -Dstyle.color=never -s "$work/settings.xml" -Dmaven.repo.local="$work/repository" "$@"
}
