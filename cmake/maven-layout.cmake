# Lays out an artifact as a Maven repository holds it, with checksums:
#   cmake -DREPOSITORY=DIR -DGROUP=org.example -DARTIFACT=name -DVERSION=1.0
#         -DPOM=FILE -DJAR=FILE -DSOURCES=FILE -DJAVADOC=FILE -P maven-layout.cmake
string(REPLACE "." "/" group_path "${GROUP}")
set(base "${REPOSITORY}/${group_path}/${ARTIFACT}")
set(dir "${base}/${VERSION}")
file(REMOVE_RECURSE "${base}")
file(MAKE_DIRECTORY "${dir}")
set(stem "${dir}/${ARTIFACT}-${VERSION}")
file(COPY_FILE "${POM}" "${stem}.pom")
file(COPY_FILE "${JAR}" "${stem}.jar")
file(COPY_FILE "${SOURCES}" "${stem}-sources.jar")
file(COPY_FILE "${JAVADOC}" "${stem}-javadoc.jar")
string(TIMESTAMP updated "%Y%m%d%H%M%S" UTC)
file(WRITE "${base}/maven-metadata.xml" "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<metadata>
  <groupId>${GROUP}</groupId>
  <artifactId>${ARTIFACT}</artifactId>
  <versioning>
    <latest>${VERSION}</latest>
    <release>${VERSION}</release>
    <versions>
      <version>${VERSION}</version>
    </versions>
    <lastUpdated>${updated}</lastUpdated>
  </versioning>
</metadata>
")
file(GLOB files "${dir}/*" "${base}/maven-metadata.xml")
foreach(file ${files})
  foreach(algorithm MD5 SHA1)
    file(${algorithm} "${file}" sum)
    string(TOLOWER "${algorithm}" extension)
    file(WRITE "${file}.${extension}" "${sum}")
  endforeach()
endforeach()
